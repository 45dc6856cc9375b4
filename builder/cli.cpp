#include "builder/cli.h"

#include <map>
#include <optional>
#include <set>

#include "builder/builder_app.h"
#include "builder/console_ui.h"
#include "builder/generation.h"
#include "builder/project.h"
#include "builder/upload.h"
#include "shared/dates.h"
#include "shared/folders.h"
#include "shared/fs.h"

namespace quasto {
namespace {

constexpr char kUsage[] =
    "Aufruf:\n"
    "  quastorell-builder [--base DIR] new NAME --source DIR [--target DIR] [--url URL]\n"
    "      [--exe PATH] [--restart] [--mutex NAME] [--ftp-dir DIR] [--version TEXT]\n"
    "      [--date DD.MM.YYYY]\n"
    "  quastorell-builder [--base DIR] configure NAME [Optionen wie bei new]\n"
    "  quastorell-builder [--base DIR] status NAME\n"
    "  quastorell-builder [--base DIR] rule NAME RELPATH (----- | NoUpdate | IfNotExist | Delete)\n"
    "  quastorell-builder [--base DIR] generate NAME [--version TEXT] [--date DD.MM.YYYY]\n"
    "      [--only RELPATH ...] [--upload] [--jobs N]\n"
    "  quastorell-builder [--base DIR] upload NAME\n"
    "  quastorell-builder [--base DIR] ftp --server HOST [--port N] [--start-dir DIR]\n"
    "      [--login USER] [--password-stdin]\n";

struct UsageError {
  std::string text;
};

// Paths from the command line in the form the logic uses: "\" separators,
// absolute.
std::string LogicPath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  const bool absolute = (!path.empty() && path[0] == '\\') ||
                        (path.size() >= 2 && path[1] == ':');
  if (!absolute) {
    std::string cwd = fs::CurrentDirectory();
    for (char& c : cwd) {
      if (c == '/') c = '\\';
    }
    path = WithTrailingSeparator(cwd) + (path == "." ? "" : path);
  }
  return path;
}

std::string LogicFolder(const std::string& path) { return WithTrailingSeparator(LogicPath(path)); }

// Options after the command: the ones that take a value, and flags.
struct Options {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  std::vector<std::string> only;

  bool Has(const std::string& name) const { return values.count(name) != 0; }
  const std::string& Get(const std::string& name) const { return values.at(name); }
};

Options ParseOptions(const std::vector<std::string>& args, size_t first,
                     const std::set<std::string>& valued, const std::set<std::string>& flags) {
  Options o;
  for (size_t i = first; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      if (valued.count(a)) {
        if (i + 1 >= args.size()) throw UsageError{"Wert fehlt für " + a};
        if (a == "--only") o.only.push_back(args[++i]);
        else o.values[a] = args[++i];
      } else if (flags.count(a)) {
        o.flags.insert(a);
      } else {
        throw UsageError{"Unbekannte Option " + a};
      }
    } else {
      o.positional.push_back(a);
    }
  }
  return o;
}

const std::set<std::string> kProjectValued = {"--source", "--target", "--url", "--exe",
                                              "--mutex", "--ftp-dir", "--version", "--date"};

// Worker threads for packing; 0 (the default) is one per core.
int ParseJobsOption(const Options& o) {
  if (!o.Has("--jobs")) return 0;
  const std::string& text = o.Get("--jobs");
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || n > 999) throw UsageError{"Ungültige Zahl für --jobs: " + text};
    n = n * 10 + (c - '0');
  }
  if (text.empty() || n < 1 || n > 1024) throw UsageError{"Ungültige Zahl für --jobs: " + text};
  return n;
}

int32_t ParseDateOption(const std::string& text) {
  int32_t value = 0;
  if (!ParseDate(text, &value)) throw UsageError{"Ungültiges Datum: " + text + " (TT.MM.JJJJ)"};
  return value;
}

// Fills the project dialog from the options; fields not given keep their text.
void FillDialog(ProjectDialog& d, const Options& o, const std::string& name) {
  d.fields.name = d.fields.name.empty() ? name : d.fields.name;
  if (o.Has("--source")) d.fields.source = LogicFolder(o.Get("--source"));
  if (o.Has("--target")) d.fields.target = LogicFolder(o.Get("--target"));
  if (o.Has("--url")) d.fields.url = o.Get("--url");
  if (o.Has("--mutex")) d.fields.mutex = o.Get("--mutex");
  if (o.Has("--ftp-dir")) {
    d.fields.ftp_dir = o.Get("--ftp-dir");
    d.fields.ftp = true;
  }
  if (o.flags.count("--restart")) d.fields.restart = true;
  if (o.Has("--exe")) {
    // A relative program path names a file of the release, as the picker,
    // which opens in the source folder, would return it.
    std::string exe = o.Get("--exe");
    for (char& c : exe) {
      if (c == '/') c = '\\';
    }
    const bool absolute = (!exe.empty() && exe[0] == '\\') || (exe.size() >= 2 && exe[1] == ':');
    if (!absolute && !d.fields.source.empty()) exe = d.fields.source + exe;
    d.fields.prog_exe = ProgramFieldText(d.fields.source, LogicPath(exe));
  }
}

std::string ProjectFile(const std::string& name) { return name + kProjectExtension; }

class Cli {
 public:
  Cli(std::istream& in, std::ostream& out, std::ostream& err, bool terminal)
      : in_(in), out_(out), err_(err), ui_(out, err, terminal) {}

  int Run(const std::vector<std::string>& args) {
    size_t i = 0;
    std::string base;
    if (i + 1 < args.size() && args[i] == "--base") {
      base = LogicFolder(args[i + 1]);
      i += 2;
    }
    if (i >= args.size()) throw UsageError{"Kein Befehl angegeben"};
    const std::string command = args[i++];
    if (command == "new") return New(ParseOptions(args, i, kProjectValued, {"--restart"}), base);
    if (command == "configure") {
      return Configure(ParseOptions(args, i, kProjectValued, {"--restart"}), base);
    }
    if (command == "status") return Status(ParseOptions(args, i, {}, {}), base);
    if (command == "rule") return Rule(ParseOptions(args, i, {}, {}), base);
    if (command == "generate") {
      return Generate(
          ParseOptions(args, i, {"--version", "--date", "--only", "--jobs"}, {"--upload"}), base);
    }
    if (command == "upload") return Upload(ParseOptions(args, i, {}, {}), base);
    if (command == "ftp") {
      return Ftp(ParseOptions(args, i, {"--server", "--port", "--start-dir", "--login"},
                              {"--password-stdin"}),
                 base);
    }
    throw UsageError{"Unbekannter Befehl " + command};
  }

 private:
  static const std::string& OneName(const Options& o, size_t count = 1) {
    if (o.positional.size() != count) throw UsageError{"Falsche Zahl von Argumenten"};
    if (!IsValidProjectName(o.positional[0])) throw UsageError{"Ungültiger Projektname"};
    return o.positional[0];
  }

  void Start(const std::string& base) { StartBuilder(st_, ui_, base); }
  // False (after a message) when the builder's files could not be written.
  bool Finish(bool save_ftp = false) {
    if (ShutdownBuilder(st_, ui_, {save_ftp})) return true;
    err_ << "Die Dateien des Builders konnten nicht vollständig geschrieben werden: "
         << fs::NativePath(st_.base_folder) << "\n";
    return false;
  }

  bool ProjectExists(const std::string& name) {
    if (FileExists(ProjectsFolder(st_) + ProjectFile(name))) return true;
    err_ << "Projekt \"" << name << "\" nicht gefunden: " << fs::NativePath(ProjectsFolder(st_) + ProjectFile(name))
         << "\n";
    return false;
  }

  void PrintScanSummary() {
    int marked = 0, files = 0;
    for (const FileEntry& f : st_.file_list) {
      if (f.Type != "F") continue;
      ++files;
      marked += f.Mark;
    }
    out_ << files << " Dateien im Quellverzeichnis, davon " << marked << " neu oder geändert.\n";
  }

  int New(const Options& o, const std::string& base) {
    const std::string& name = OneName(o);
    std::optional<int32_t> date;
    if (o.Has("--date")) date = ParseDateOption(o.Get("--date"));
    Start(base);
    // A script must not wipe an existing project's manifest by accident.
    if (FileExists(ProjectsFolder(st_) + ProjectFile(name))) {
      err_ << "Projekt \"" << name << "\" existiert bereits; ändern mit \"configure\".\n";
      return kExitUsage;
    }
    ui_.project_dialog = [&](ProjectDialog& d) {
      FillDialog(d, o, name);
      return d.Apply();
    };
    if (!NewProject(st_, ui_)) {
      Finish();
      return kExitUsage;
    }
    if (o.Has("--version")) ui_.SetVersionText(o.Get("--version"));
    if (date) ui_.SetDateValue(*date);
    out_ << "Projekt \"" << name << "\" angelegt: "
         << fs::NativePath(ProjectsFolder(st_) + st_.current_project) << "\n";
    PrintScanSummary();
    return Finish() ? kExitOk : kExitFailed;
  }

  // Loads a project's record and client configuration without scanning;
  // false, with a message, when it is missing or unreadable.
  bool LoadProjectDocuments(const std::string& name, std::string* file) {
    if (!ProjectExists(name)) return false;
    *file = ProjectFile(name);
    if (!LoadProject(st_, *file)) {
      err_ << "Projekt \"" << name << "\" kann nicht gelesen werden.\n";
      return false;
    }
    LoadClientConfig(st_, *file);
    return true;
  }

  int Configure(const Options& o, const std::string& base) {
    const std::string& name = OneName(o);
    std::optional<int32_t> date;
    if (o.Has("--date")) date = ParseDateOption(o.Get("--date"));
    Start(base);
    std::string file;
    if (!LoadProjectDocuments(name, &file)) return kExitUsage;
    if (o.Has("--version")) st_.project.Version = o.Get("--version");
    if (date) st_.project.Date = *date;
    ui_.project_dialog = [&](ProjectDialog& d) {
      FillDialog(d, o, name);
      return d.Apply();
    };
    std::string edited = file;
    const int applied = EditProjectSettings(st_, ui_, &edited);
    // The manifest was not loaded, so it must not be written back.
    st_.current_project.clear();
    const bool written = Finish();
    if (applied == 0) return kExitUsage;
    out_ << "Projekt \"" << name << "\" konfiguriert.\n";
    return written ? kExitOk : kExitFailed;
  }

  // Opens with scan and merge; false (after a message) when it cannot.
  bool Open(const std::string& name) {
    if (!ProjectExists(name)) return false;
    if (!OpenProjectNamed(st_, ui_, ProjectFile(name))) {
      st_.current_project.clear();
      err_ << "Projekt \"" << name << "\" kann nicht gelesen werden.\n";
      return false;
    }
    return true;
  }

  int Status(const Options& o, const std::string& base) {
    const std::string& name = OneName(o);
    Start(base);
    if (!Open(name)) return kExitUsage;
    out_ << "Projekt \"" << st_.project.Titel << "\", Version \"" << st_.project.Version
         << "\", Datum " << FormatDate(st_.project.Date) << "\n";
    for (int i = 0; i < ui_.RowCount(); ++i) {
      const ListRow r = ui_.Row(i);
      std::string rule = r.rule;
      rule.resize(std::max<size_t>(rule.size(), 10), ' ');
      out_ << (r.checked ? "[x] " : "[ ] ") << rule << " " << r.path << r.name;
      if (r.item >= 0 && static_cast<size_t>(r.item) < st_.file_list.size()) {
        const std::string why = ProposalText(st_.file_list[static_cast<size_t>(r.item)].Reason);
        if (!why.empty()) out_ << "  (" << why << ")";
      }
      out_ << "\n";
    }
    PrintScanSummary();
    return Finish() ? kExitOk : kExitFailed;
  }

  int FindRow(const std::string& relpath) {
    std::string key = relpath;
    for (char& c : key) {
      if (c == '/') c = '\\';
    }
    for (int i = 0; i < ui_.RowCount(); ++i) {
      const ListRow r = ui_.Row(i);
      if (r.path + r.name == key) return i;
    }
    err_ << "Datei \"" << relpath << "\" ist nicht im Quellverzeichnis des Projekts.\n";
    return -1;
  }

  int Rule(const Options& o, const std::string& base) {
    const std::string& name = OneName(o, 3);
    int32_t flags = 0;
    if (!RuleFromLabel(o.positional[2], &flags)) {
      throw UsageError{"Unbekannte Regel " + o.positional[2]};
    }
    Start(base);
    if (!Open(name)) return kExitUsage;
    const int row = FindRow(o.positional[1]);
    if (row >= 0) {
      SetRuleOfRow(st_, ui_, row, flags);
      out_ << o.positional[1] << ": " << RuleLabel(flags) << "\n";
    }
    const bool written = Finish();
    if (row < 0) return kExitUsage;
    return written ? kExitOk : kExitFailed;
  }

  int Generate(const Options& o, const std::string& base) {
    const std::string& name = OneName(o);
    std::optional<int32_t> date;
    if (o.Has("--date")) date = ParseDateOption(o.Get("--date"));
    const int jobs = ParseJobsOption(o);
    Start(base);
    if (!Open(name)) return kExitUsage;
    if (o.Has("--version")) ui_.SetVersionText(o.Get("--version"));
    if (date) ui_.SetDateValue(*date);
    if (!o.only.empty()) {
      std::vector<int> rows;
      for (const std::string& rel : o.only) {
        const int row = FindRow(rel);
        if (row < 0) {
          Finish();
          return kExitUsage;
        }
        rows.push_back(row);
      }
      for (int i = 0; i < ui_.RowCount(); ++i) ui_.SetRowChecked(i, false);
      for (int row : rows) ui_.SetRowChecked(row, true);
    }
    const GenerationResult g = GenerateUpdate(st_, ui_, jobs);
    int status = g.ok() ? kExitOk : kExitFailed;
    if (o.flags.count("--upload") && !UploadAndReport()) status = kExitFailed;
    if (!Finish()) status = kExitFailed;
    return status;
  }

  bool UploadAndReport() {
    auto ftp = MakeFtpClient();
    const UploadResult r = UploadUpdateSet(st_, ui_, *ftp);
    if (r.outcome == UploadResult::kDone) {
      out_ << r.sent << " Dateien hochgeladen" << (r.manifest_sent ? ", Quastorell.uif gesendet." : ".")
           << "\n";
    }
    if (r.outcome == UploadResult::kConnectFailed) err_ << "FTP: " << ftp->LastError() << "\n";
    if (r.outcome == UploadResult::kNoNetwork) err_ << "Das Netzwerk ist nicht verfügbar.\n";
    return r.ok();
  }

  int Upload(const Options& o, const std::string& base) {
    const std::string& name = OneName(o);
    Start(base);
    std::string file;
    if (!LoadProjectDocuments(name, &file)) return kExitUsage;
    LoadManifest(st_, file);
    st_.current_project = file;
    st_.last_marked_count = 0;
    for (const auto& [key, e] : st_.manifest) st_.last_marked_count += e.Update != 0 ? 1 : 0;
    const bool ok = UploadAndReport();
    // Nothing else changed; the manifest was written by the upload itself.
    st_.current_project.clear();
    const bool written = Finish();
    return ok && written ? kExitOk : kExitFailed;
  }

  int Ftp(const Options& o, const std::string& base) {
    if (!o.positional.empty()) throw UsageError{"Falsche Zahl von Argumenten"};
    Start(base);
    std::string password;
    const bool new_password = o.flags.count("--password-stdin") != 0;
    if (new_password) {
      std::getline(in_, password);
      if (!password.empty() && password.back() == '\r') password.pop_back();
    }
    ui_.ftp_dialog = [&](FtpDialog& d) {
      if (o.Has("--server")) d.server = o.Get("--server");
      if (o.Has("--port")) d.port = o.Get("--port");
      if (o.Has("--start-dir")) d.start_dir = o.Get("--start-dir");
      if (o.Has("--login")) d.login = o.Get("--login");
      if (new_password) d.password = password;
      return d.Apply();
    };
    FtpDialog dialog(st_, ui_);
    if (!ui_.RunFtpDialog(dialog)) {
      Finish();
      return kExitUsage;
    }
    if (!DirectoryExists(st_.base_folder)) CreateDirectoryTree(st_.base_folder);
    if (!SaveFtpSettings(st_)) {
      err_ << "FTP-Einstellungen konnten nicht geschrieben werden: "
           << fs::NativePath(st_.base_folder + kFtpSettingsFile) << "\n";
      Finish();
      return kExitFailed;
    }
    out_ << "FTP-Einstellungen gespeichert: " << fs::NativePath(st_.base_folder + kFtpSettingsFile)
         << "\n";
    return Finish() ? kExitOk : kExitFailed;
  }

  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
  ConsoleUi ui_;
  BuilderState st_;
};

}  // namespace

int RunBuilderCli(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                  std::ostream& err, bool terminal) {
  try {
    Cli cli(in, out, err, terminal);
    return cli.Run(args);
  } catch (const UsageError& e) {
    err << e.text << "\n\n" << kUsage;
    return kExitUsage;
  }
}

}  // namespace quasto
