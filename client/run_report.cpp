#include "client/run_report.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "shared/text.h"

namespace quasto::client {
namespace {

using Writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

// The file is UTF-8 whatever a name held: bytes that are no UTF-8 (a
// POSIX name in another encoding) are read as Latin-1 rather than written
// as they are.
void Text(Writer* w, const std::string& s) {
  if (!IsValidUtf8(s)) {
    const std::string latin1 = Latin1ToUtf8(s);
    w->String(latin1.data(), static_cast<rapidjson::SizeType>(latin1.size()));
    return;
  }
  w->String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

void List(Writer* w, const char* key, const std::vector<std::string>& items) {
  w->Key(key);
  w->StartArray();
  for (const std::string& s : items) Text(w, s);
  w->EndArray();
}

const char* IconWord(int icon) {
  switch (icon) {
    case kIconError: return "error";
    case kIconWarning: return "warning";
    default: return "information";
  }
}

// The text as one line: a message box breaks lines and pads with blanks.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

void ReportingView::ShowMessage(const std::string& title, const std::string& text, int icon) {
  report_->messages.push_back({OneLine(text), icon});
  inner_->ShowMessage(title, text, icon);
}

std::string MessageLogLines(const RunReport& report) {
  std::string lines;
  for (const RunReport::Message& m : report.messages) {
    lines += "-> Message (" + std::string(IconWord(m.icon)) + "): " + EscapeControls(m.text) + "\n";
  }
  return lines;
}

std::string ResultJson(const RunReport& report, int status, const char* word,
                       int64_t milliseconds) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.SetIndent(' ', 2);
  w.StartObject();
  w.Key("Status");
  w.Int(status);
  w.Key("StatusWord");
  w.String(word);
  w.Key("Mode");
  Text(&w, report.mode);
  w.Key("Detail");
  Text(&w, report.detail);
  w.Key("ManifestRead");
  w.Bool(report.manifest_read);
  w.Key("ManifestVersion");
  Text(&w, report.manifest_version);
  w.Key("ManifestDate");
  w.Int(report.manifest_date);
  w.Key("SignatureChecked");
  w.Bool(report.signature_checked);
  List(&w, "Planned", report.planned);
  w.Key("BytesToFetch");
  w.Int64(report.bytes_to_fetch);
  List(&w, "Changed", report.changed);
  List(&w, "Deleted", report.deleted);
  w.Key("Failed");
  w.StartArray();
  for (const RunReport::Failure& f : report.failed) {
    w.StartObject();
    w.Key("File");
    Text(&w, f.file);
    w.Key("Reason");
    Text(&w, f.reason);
    w.EndObject();
  }
  w.EndArray();
  w.Key("BytesFetched");
  w.Int64(report.bytes_fetched);
  w.Key("Milliseconds");
  w.Int64(milliseconds);
  w.Key("Messages");
  w.StartArray();
  for (const RunReport::Message& m : report.messages) {
    w.StartObject();
    w.Key("Kind");
    w.String(IconWord(m.icon));
    w.Key("Text");
    Text(&w, m.text);
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

}  // namespace quasto::client
