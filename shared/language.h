// The client's key-to-text table: built-in German texts, overridden by the
// language file "Quastorell.lng" for the user's language.
//
// Texts are single bytes (Latin-1), as the client shows them.
#ifndef QUASTO_SHARED_LANGUAGE_H_
#define QUASTO_SHARED_LANGUAGE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quasto {

inline constexpr char kLanguageFile[] = "Quastorell.lng";

// The language a POSIX locale stands for, as a Windows language identifier:
// the first of LC_ALL, LC_MESSAGES and LANG that is set and not empty decides;
// "de..." is German (0x0407), anything else English (0x0409).
uint16_t LanguageIdFromLocale(const char* lc_all, const char* lc_messages, const char* lang);

class LanguageTable {
 public:
  // Writes the built-in German texts (the first clients' 25 and those added
  // since), replacing those keys.
  void SetDefaultTexts();

  // SetDefaultTexts, then the entries of the file's "German" element when
  // (language_id & 0x1FF) is 7, else of its "English" element. A missing,
  // empty or malformed file, or one without that element, leaves the
  // built-in texts; a malformed file contributes nothing at all.
  void LoadLanguage(const std::string& path, uint16_t language_id);
  // The same, for the user's own language.
  void LoadLanguage(const std::string& path);

  // The same, on the file's text instead of a path.
  void LoadLanguageText(std::string_view xml, uint16_t language_id);

  // The stored text, "" for an unknown key. Keys compare byte for byte.
  std::string LanguageText(std::string_view key) const;

  void Set(std::string key, std::string text) { texts_[std::move(key)] = std::move(text); }
  size_t size() const { return texts_.size(); }

 private:
  std::unordered_map<std::string, std::string> texts_;
};

}  // namespace quasto

#endif  // QUASTO_SHARED_LANGUAGE_H_
