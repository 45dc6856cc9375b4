#include "shared/language.h"

#include <expat.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "shared/fs.h"
#include "shared/text.h"

namespace quasto {
namespace {

// Built-in texts in single-byte form, in the order they are written. String
// literals are split after each \x escape so no letter joins the escape.
const std::pair<const char*, const char*> kDefaults[] = {
    {"Files2Upd", "Dateien zur Aktualisierung"},
    {"Update", "Aktualisieren"},
    {"Close", "Schlie\xDF" "en"},
    {"Login", "Login:"},
    {"Password", "Passwort:"},
    {"Save", "Login und Passwort speichern"},
    {"OK", "OK"},
    {"AbortDownload", "Download abbrechen?"},
    {"ProgRuns", "Das Programm muss vor dem Update beendet werden."},
    {"NoInternet", "Keine Internetverbindung verf\xFC" "gbar.\nAktualisierung wird abgebrochen."},
    {"ErrorURL", "Ung\xFC" "ltige Internetadresse (URL).\n\xDC" "berpr\xFC" "fen Sie 'Quastorel.ucf'!"},
    {"FrameDownload", "Download (Update-Info)"},
    {"FrameAnalyse", "Auswertung (Update-Info)"},
    {"FrameUpdate", "Aktualisierung / Download"},
    {"MsgLoadUpdInfo", "Lade Update-Informationen ....."},
    {"MsgDownload", "Download komplett."},
    {"MsgReadUpdInfo", "Lese Datei-Informationen ....."},
    {"MsgAnalysis", "Auswertung abgeschlossen."},
    {"MsgUpdate", "Aktualisierung komplett."},
    {"MsgNoUpdate", "Keine Aktualisierung erforderlich."},
    {"MsgProgram", "Programm wird ausgef\xFC" "hrt."},
    {"ErrUpdate", "Datei konnte nicht aktualisiert werden"},
    {"ErrDownload", "\xDC" "bertragungsfehler beim Download"},
    {"ShowHistory", "\xC4" "nderungen"},
    {"CloseProg", "Sie m\xFC" "ssen das Programm vor dem Update schlie\xDF" "en."},
    {"ErrSignature",
     "Die Update-Informationen sind nicht vom Herausgeber signiert.\n"
     "Aktualisierung wird abgebrochen."},
    {"ErrRun", "Programm konnte nicht gestartet werden"},
    {"UpdateRuns", "Es l\xE4" "uft bereits eine Aktualisierung.\nDieser Start wird beendet."},
    {"ErrManifest",
     "Die Update-Informationen sind besch\xE4" "digt oder unvollst\xE4" "ndig.\n"
     "Aktualisierung wird abgebrochen."},
};

// State of one parse. Depth 1 is the root, 2 a language, 3 an entry.
struct Reader {
  std::string wanted;
  int depth = 0;
  bool in_language = false;
  bool language_done = false;  // only the first element of that name counts
  bool found = false;
  bool in_entry = false;
  std::string key;
  std::string text;
  std::vector<std::pair<std::string, std::string>> entries;
};

void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char**) {
  auto* r = static_cast<Reader*>(data);
  ++r->depth;
  if (r->depth == 2 && !r->language_done && r->wanted == name) {
    r->in_language = true;
    r->found = true;
  } else if (r->depth == 3 && r->in_language) {
    r->in_entry = true;
    r->key = name;
    r->text.clear();
  }
}

void XMLCALL OnEnd(void* data, const XML_Char*) {
  auto* r = static_cast<Reader*>(data);
  if (r->depth == 3 && r->in_entry) {
    r->entries.emplace_back(std::move(r->key), std::move(r->text));
    r->in_entry = false;
  } else if (r->depth == 2 && r->in_language) {
    r->in_language = false;
    r->language_done = true;
  }
  --r->depth;
}

void XMLCALL OnText(void* data, const XML_Char* s, int len) {
  auto* r = static_cast<Reader*>(data);
  if (r->in_entry) r->text.append(s, static_cast<size_t>(len));
}

// Parses the whole document; false when it is not well-formed.
bool ParseLanguage(std::string_view xml, Reader* reader) {
  XML_Parser parser = XML_ParserCreate("UTF-8");
  if (parser == nullptr) return false;
  XML_SetUserData(parser, reader);
  XML_SetElementHandler(parser, OnStart, OnEnd);
  XML_SetCharacterDataHandler(parser, OnText);
  bool ok = true;
  // Feed in pieces: XML_Parse takes an int length.
  constexpr size_t kPiece = 1 << 20;
  size_t pos = 0;
  do {
    size_t n = std::min(kPiece, xml.size() - pos);
    bool last = pos + n == xml.size();
    if (XML_Parse(parser, xml.data() + pos, static_cast<int>(n), last) != XML_STATUS_OK) {
      ok = false;
      break;
    }
    pos += n;
  } while (pos < xml.size());
  XML_ParserFree(parser);
  return ok;
}

std::string WithCrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

}  // namespace

uint16_t LanguageIdFromLocale(const char* lc_all, const char* lc_messages, const char* lang) {
  for (const char* v : {lc_all, lc_messages, lang}) {
    if (v != nullptr && *v != '\0') {
      return (v[0] == 'd' && v[1] == 'e') ? 0x0407 : 0x0409;
    }
  }
  return 0x0409;
}

void LanguageTable::SetDefaultTexts() {
  for (const auto& [key, text] : kDefaults) texts_[key] = text;
}

void LanguageTable::LoadLanguage(const std::string& path, uint16_t language_id) {
  SetDefaultTexts();
  std::string xml;
  if (!fs::ReadFile(path, &xml)) return;
  LoadLanguageText(xml, language_id);
}

void LanguageTable::LoadLanguage(const std::string& path) {
  LoadLanguage(path, fs::UserLanguageId());
}

void LanguageTable::LoadLanguageText(std::string_view xml, uint16_t language_id) {
  SetDefaultTexts();
  if (xml.empty()) return;
  Reader reader;
  reader.wanted = (language_id & 0x1FF) == 7 ? "German" : "English";
  if (!ParseLanguage(xml, &reader) || !reader.found) return;
  // The parser turns CR LF into LF; a file written with CR LF keeps them.
  const bool crlf = xml.find("\r\n") != std::string_view::npos;
  for (auto& [key, text] : reader.entries) {
    std::string single = Utf8ToLatin1(text);
    texts_[key] = crlf ? WithCrLf(single) : std::move(single);
  }
}

std::string LanguageTable::LanguageText(std::string_view key) const {
  auto it = texts_.find(std::string(key));
  return it == texts_.end() ? std::string() : it->second;
}

}  // namespace quasto
