#include "builder/cli.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>

#include "builder/builder_app.h"
#include "builder/console_ui.h"
#include "builder/delta.h"
#include "builder/generation.h"
#include "builder/project.h"
#include "builder/signing.h"
#include "builder/upload.h"
#include "shared/dates.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/text.h"

namespace quasto {
namespace {

// One command's synopsis and, for "COMMAND --help", what it does.
struct CommandHelp {
  const char* name;
  const char* synopsis;
  const char* details;
};

constexpr char kFtpPasswordVariable[] = "QUASTO_FTP_PASSWORD";

constexpr char kPathNote[] =
    "Relative Pfade gelten ab dem aktuellen Verzeichnis.\n";

constexpr CommandHelp kCommands[] = {
    {"new",
     "  quastorell-builder [--base DIR] new NAME --source DIR [--target DIR] [--url URL]\n"
     "      [--exe PATH] [--restart] [--mutex NAME] [--ftp-dir DIR] [--version TEXT]\n"
     "      [--date DD.MM.YYYY]\n",
     "Legt das Projekt NAME an, wie \"Neue Projekt\" und \"Übernehmen\", und schlägt alle\n"
     "Dateien des Quellverzeichnisses zum Erstellen vor. Einen Namen, den schon ein\n"
     "Projekt trägt, weist der Befehl ab (ändern mit \"configure\").\n"
     "  --source DIR       Quellverzeichnis mit dem freigegebenen Programm\n"
     "  --target DIR       Zielverzeichnis für die Updater-Dateien\n"
     "                     (ohne Angabe: Upload\\NAME\\ im Basisverzeichnis)\n"
     "  --url URL          URL, unter der der Updater die Update-Dateien lädt\n"
     "  --exe PATH         die Programmdatei; sie muss im Quellverzeichnis liegen\n"
     "  --restart          das Programm nach dem Update neu starten\n"
     "  --mutex NAME       Mutex, an dem der Updater das laufende Programm erkennt\n"
     "  --ftp-dir DIR      Verzeichnis auf dem FTP-Server; schaltet den FTP-Upload ein\n"
     "  --version TEXT     Version, die das Update trägt\n"
     "  --date DD.MM.YYYY  Datum des Updates (ohne Angabe: heute)\n"},
    {"configure",
     "  quastorell-builder [--base DIR] configure NAME [Optionen wie bei new]\n",
     "Ändert die Einstellungen des Projekts NAME, wie \"Projekt konfigurieren\".\n"
     "Nicht angegebene Optionen behalten ihren Wert; --exe muss im (neuen oder\n"
     "bisherigen) Quellverzeichnis liegen.\n"},
    {"status",
     "  quastorell-builder [--base DIR] status NAME\n",
     "Durchsucht das Quellverzeichnis und zeigt jede Datei mit Haken ([x]: wird beim\n"
     "nächsten \"generate\" erstellt) und Regel. Dateien, die das Projekt kennt, die\n"
     "aber nicht mehr im Quellverzeichnis liegen, sind als \"(entfernt)\" markiert.\n"},
    {"rule",
     "  quastorell-builder [--base DIR] rule NAME RELPATH (----- | NoUpdate | IfNotExist | Delete)\n",
     "Setzt die Regel der Datei RELPATH (relativ zum Quellverzeichnis). Eine entfernte\n"
     "Datei kann nur Delete (oder -----) erhalten; sie wird dann beim Updater gelöscht.\n"},
    {"generate",
     "  quastorell-builder [--base DIR] generate NAME [--version TEXT] [--date DD.MM.YYYY]\n"
     "      [--only RELPATH ...] [--upload] [--jobs N] [--expires-days N]\n"
     "      [--password-stdin] [--accept-host-key SHA256:...] [--keep N]\n"
     "      [--kept-generations N]\n",
     "Erstellt die Updater-Dateien, wie \"Erstellen\": die vorgeschlagenen Dateien (neu,\n"
     "geändert, noch nie erstellt oder nicht mehr im Zielverzeichnis), oder nur die mit\n"
     "--only genannten. Liegt ein Schlüssel im Basisverzeichnis, wird die Update-Info\n"
     "signiert.\n"
     "  --upload           danach hochladen, wie \"upload\"\n"
     "  --jobs N           N Dateien gleichzeitig packen (ohne Angabe: eine je Kern)\n"
     "  --expires-days N   die Signatur gilt N Tage\n"
     "  --password-stdin   das Passwort des Schlüssels aus der ersten Zeile der\n"
     "                     Standardeingabe lesen\n"
     "  --accept-host-key SHA256:..., --keep N   wie bei \"upload\"\n"
     "  --kept-generations N   die Inhalte der letzten N Versionen jeder Datei\n"
     "                     aufheben; wer eine davon hat, lädt eine geänderte Datei als\n"
     "                     Patch (Vorgabe 3; bleibt im Projekt gespeichert)\n"},
    {"upload",
     "  quastorell-builder [--base DIR] upload NAME [--password-stdin]\n"
     "      [--accept-host-key SHA256:...] [--keep N]\n",
     "Lädt die noch nicht gesendeten Updater-Dateien und zuletzt die Update-Info\n"
     "\"Quastorell.uif\" per FTP hoch, wie \"Hochladen\". Jede Datei geht erst unter\n"
     "einem vorläufigen Namen auf den Server und wird dann umbenannt; fehlende\n"
     "Verzeichnisse werden angelegt. Mit einem Schlüssel gehen die Signatur und die\n"
     "signierte Update-Info; wurde das Projekt seit der Signatur geändert, wird neu\n"
     "signiert (--password-stdin: das Passwort des Schlüssels).\n"
     "  --accept-host-key SHA256:...  einem SFTP-Server, dessen Schlüssel noch nicht\n"
     "                     gespeichert ist, vertrauen, wenn er diesen Fingerabdruck hat;\n"
     "                     er wird dann gespeichert. Ohne die Option wird ein unbekannter\n"
     "                     Server abgewiesen.\n"
     "Dateien, die der Server schon mit diesem Inhalt hat, werden nicht erneut gesendet.\n"
     "Steht die neue Update-Info auf dem Server, werden dort die Dateien gelöscht, die\n"
     "sie nicht mehr nennt.\n"
     "  --keep N           die Dateien der letzten N Update-Infos behalten (Vorgabe 1)\n"
     "Ist die Umgebungsvariable QUASTO_FTP_PASSWORD gesetzt, meldet sich der Upload\n"
     "mit ihrem Wert an statt mit dem gespeicherten Passwort; gespeichert wird er nie.\n"},
    {"keygen",
     "  quastorell-builder [--base DIR] keygen [--password-stdin]\n",
     "Erzeugt das Schlüsselpaar \"Quastorell.key\" (geheim) und \"Quastorell.pub\" im\n"
     "Basisverzeichnis; ein vorhandener Schlüssel wird nie überschrieben. Von da an\n"
     "werden alle Update-Infos signiert.\n"
     "  --password-stdin   den geheimen Schlüssel mit dem Passwort aus der ersten Zeile\n"
     "                     der Standardeingabe verschlüsseln\n"},
    {"sign",
     "  quastorell-builder [--base DIR] sign NAME [--expires-days N] [--password-stdin]\n",
     "Signiert die aktuelle Update-Info des Projekts neu, etwa um die Gültigkeit zu\n"
     "verlängern, ohne eine neue Version zu erstellen.\n"
     "  --expires-days N   die Signatur gilt N Tage\n"
     "  --password-stdin   das Passwort des Schlüssels aus der Standardeingabe lesen\n"},
    {"ftp",
     "  quastorell-builder [--base DIR] ftp --server HOST [--port N] [--start-dir DIR]\n"
     "      [--login USER] [--password-stdin] [--protocol FTP|FTPS|SFTP]\n"
     "      [--fingerprint SHA256:...] [--key-file FILE]\n",
     "Speichert die FTP-Einstellungen aller Projekte, wie \"FTP konfigurieren\".\n"
     "  --port N           0: der übliche Port des Protokolls (21, bei SFTP 22)\n"
     "  --protocol P       FTP, FTPS (TLS für Anmeldung und Daten verlangt) oder SFTP\n"
     "  --fingerprint FP   der SHA-256 des Schlüssels, den der Server zeigen muss:\n"
     "                     bei SFTP sein Host-Schlüssel, bei FTPS der seines Zertifikats\n"
     "                     (dann auch selbst signiert); \"\" löscht ihn\n"
     "  --key-file FILE    SFTP: mit diesem privaten Schlüssel anmelden; das Passwort\n"
     "                     ist dann seine Passphrase (\"\": mit dem Passwort anmelden)\n"
     "  --password-stdin   das Passwort aus der ersten Zeile der Standardeingabe lesen\n"
     "                     (ohne diese Option bleibt das gespeicherte Passwort)\n"},
};

std::string Usage() {
  std::string text = "Aufruf:\n";
  for (const CommandHelp& c : kCommands) text += c.synopsis;
  text +=
      "  quastorell-builder --help | BEFEHL --help\n"
      "\n"
      "  --base DIR   Basisverzeichnis des Builders (ohne Angabe: das Verzeichnis des\n"
      "               Programms), mit Quastorell.exe, Quastorell.lng, Projects\\\n";
  text += kPathNote;
  text +=
      "Exit-Status: 0 erfolgreich, 1 eine Datei oder der Upload ist fehlgeschlagen,\n"
      "2 falscher Aufruf, unbekanntes Projekt oder beschädigte Projektdatei,\n"
      "4 das Projekt wird gerade von einem anderen Builder bearbeitet.\n";
  return text;
}

const CommandHelp* FindCommand(const std::string& name) {
  for (const CommandHelp& c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

// What the terminal gets of a name: control characters as "\xNN", so that
// a file name cannot clear the screen or set the terminal's title.
std::string Shown(const std::string& text) { return EscapeControls(text); }

struct UsageError {
  std::string text;
};

// A failure of the command's arguments that the usage would not explain.
struct ArgumentError {
  std::string text;
};

// Drops "." segments and resolves ".." ones, so that paths compare as text.
std::string Normalized(const std::string& path) {
  size_t root = 0;
  if (path.size() >= 2 && path[1] == ':') root = 2;
  while (root < path.size() && path[root] == '\\') ++root;
  std::vector<std::string> parts;
  size_t pos = root;
  while (pos <= path.size()) {
    size_t end = path.find('\\', pos);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(pos, end - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = end + 1;
  }
  std::string out = path.substr(0, root);
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? "\\" : "") + parts[i];
  if (!parts.empty() && !path.empty() && path.back() == '\\') out += '\\';
  return out;
}

// Paths from the command line in the form the logic uses: "\" separators,
// absolute, relative ones taken from the current directory.
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
    path = WithTrailingSeparator(cwd) + path;
  }
  return Normalized(path);
}

bool StartsWithIgnoringCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i], b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

// The program field for --exe: the file's path relative to the source
// folder. The client starts source-relative paths only, so a file outside
// the release, or none at all, would never be restarted.
std::string ProgramInSource(const std::string& exe_arg, const std::string& source) {
  const std::string exe = LogicPath(exe_arg);
  if (FileExists(exe) == 0) {
    throw ArgumentError{"Die Programmdatei \"" + fs::NativePath(exe) + "\" gibt es nicht."};
  }
  if (source.empty() || !StartsWithIgnoringCase(exe, source)) {
    throw ArgumentError{"Die Programmdatei \"" + fs::NativePath(exe) +
                        "\" liegt nicht im Quellverzeichnis \"" + fs::NativePath(source) + "\"."};
  }
  return exe.substr(source.size());
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

// Fills the project dialog from the options; fields not given keep their
// text. `prog_exe` is the checked --exe, if given.
void FillDialog(ProjectDialog& d, const Options& o, const std::string& name,
                const std::optional<std::string>& prog_exe) {
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
  if (prog_exe) d.fields.prog_exe = *prog_exe;
}

// The checked --exe, relative to the source folder the project will have.
std::optional<std::string> ProgramOption(const Options& o, const std::string& current_source) {
  if (!o.Has("--exe")) return std::nullopt;
  const std::string source = o.Has("--source") ? LogicFolder(o.Get("--source")) : current_source;
  return ProgramInSource(o.Get("--exe"), source);
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
    if (i < args.size() && IsHelp(args[i])) {
      out_ << Usage();
      return kExitOk;
    }
    if (i >= args.size()) throw UsageError{"Kein Befehl angegeben"};
    const std::string command = args[i++];
    const CommandHelp* help = FindCommand(command);
    if (help == nullptr) throw UsageError{"Unbekannter Befehl " + command};
    // How a second builder that finds the project locked names this one.
    st_.program = "quastorell-builder " + command;
    if (std::any_of(args.begin() + static_cast<std::ptrdiff_t>(i), args.end(), IsHelp)) {
      out_ << "Aufruf:\n" << help->synopsis << "\n" << help->details << kPathNote;
      return kExitOk;
    }
    if (command == "new") return New(ParseOptions(args, i, kProjectValued, {"--restart"}), base);
    if (command == "configure") {
      return Configure(ParseOptions(args, i, kProjectValued, {"--restart"}), base);
    }
    if (command == "status") return Status(ParseOptions(args, i, {}, {}), base);
    if (command == "rule") return Rule(ParseOptions(args, i, {}, {}), base);
    if (command == "generate") {
      return Generate(
          ParseOptions(args, i,
                       {"--version", "--date", "--only", "--expires-days", "--jobs",
                        "--accept-host-key", "--keep", "--kept-generations"},
                       {"--upload", "--password-stdin"}),
          base);
    }
    if (command == "upload") {
      return Upload(ParseOptions(args, i, {"--accept-host-key", "--keep"}, {"--password-stdin"}),
                    base);
    }
    if (command == "keygen") return Keygen(ParseOptions(args, i, {}, {"--password-stdin"}), base);
    if (command == "sign") {
      return Sign(ParseOptions(args, i, {"--expires-days"}, {"--password-stdin"}), base);
    }
    if (command == "ftp") {
      return Ftp(ParseOptions(args, i,
                              {"--server", "--port", "--start-dir", "--login", "--protocol",
                               "--fingerprint", "--key-file"},
                              {"--password-stdin"}),
                 base);
    }
    throw UsageError{"Unbekannter Befehl " + command};
  }

 private:
  static const std::string& OneName(const Options& o, size_t count = 1) {
    if (o.positional.size() != count) throw UsageError{"Falsche Zahl von Argumenten"};
    const std::string problem = ProjectNameProblem(o.positional[0]);
    if (!problem.empty()) throw ArgumentError{"Ungültiger Projektname: " + Shown(problem)};
    return o.positional[0];
  }

  void Start(const std::string& base) { StartBuilder(st_, ui_, base); }
  // False (after a message) when the builder's files could not be written.
  bool Finish(bool save_ftp = false) {
    if (ShutdownBuilder(st_, ui_, {save_ftp})) return true;
    err_ << "Die Dateien des Builders konnten nicht vollständig geschrieben werden: "
         << Shown(fs::NativePath(st_.base_folder)) << "\n";
    return false;
  }

  bool ProjectExists(const std::string& name) {
    if (FileExists(ProjectsFolder(st_) + ProjectFile(name))) return true;
    err_ << "Projekt \"" << Shown(name) << "\" nicht gefunden: "
         << Shown(fs::NativePath(ProjectsFolder(st_) + ProjectFile(name))) << "\n";
    return false;
  }

  // False when the scan could not list a folder (said on standard error).
  bool PrintScanSummary() {
    int marked = 0, files = 0, removed = 0, refused = 0;
    bool complete = true;
    for (const FileEntry& f : st_.file_list) {
      if (f.Unlisted && f.Name.empty()) {
        err_ << "Das Quellverzeichnis \"" << Shown(fs::NativePath(st_.project.Source))
             << "\" kann nicht gelesen werden: " << f.Refused << ".\n";
        return false;
      }
      if (f.Unlisted) complete = false;
      if (!f.Refused.empty()) {
        ++refused;
        continue;
      }
      if (f.Type != "F") continue;
      if (f.Removed) {
        ++removed;
        continue;
      }
      ++files;
      marked += f.Mark;
    }
    out_ << files << " Dateien im Quellverzeichnis, davon " << marked << " neu oder geändert.\n";
    if (removed > 0) out_ << removed << " Dateien nicht mehr im Quellverzeichnis (entfernt).\n";
    if (refused > 0) out_ << refused << " Einträge werden nicht veröffentlicht (Gründe oben).\n";
    if (!complete) {
      err_ << "Nicht alle Ordner des Quellverzeichnisses sind lesbar; \"generate\" erstellt nichts,"
              " bis sie es sind.\n";
    }
    return complete;
  }

  int New(const Options& o, const std::string& base) {
    const std::string& name = OneName(o);
    std::optional<int32_t> date;
    if (o.Has("--date")) date = ParseDateOption(o.Get("--date"));
    Start(base);
    // A script must not wipe an existing project's manifest by accident.
    if (ProjectNameTaken(st_, name)) {
      err_ << "Projekt \"" << Shown(name) << "\" existiert bereits; ändern mit \"configure\".\n";
      return kExitUsage;
    }
    // Without a source folder the dialog's own check speaks first.
    std::optional<std::string> prog_exe;
    if (o.Has("--source")) prog_exe = ProgramOption(o, "");
    ui_.project_dialog = [&](ProjectDialog& d) {
      FillDialog(d, o, name, prog_exe);
      return d.Apply();
    };
    if (!NewProject(st_, ui_)) {
      if (st_.project_in_use) return kExitInUse;
      Finish();
      return kExitUsage;
    }
    if (o.Has("--version")) ui_.SetVersionText(o.Get("--version"));
    if (date) ui_.SetDateValue(*date);
    out_ << "Projekt \"" << Shown(name) << "\" angelegt: "
         << Shown(fs::NativePath(ProjectsFolder(st_) + st_.current_project)) << "\n";
    // The project is made; what its scan found is for `status` to judge.
    PrintScanSummary();
    return Finish() ? kExitOk : kExitFailed;
  }

  // The exit status of a project that could not be taken up.
  static int StatusOf(OpenOutcome o) {
    switch (o) {
      case OpenOutcome::kOpened: return kExitOk;
      case OpenOutcome::kInUse: return kExitInUse;
      case OpenOutcome::kNoLock: return kExitFailed;
      case OpenOutcome::kNotFound:
      case OpenOutcome::kDamaged: break;
    }
    return kExitUsage;
  }

  // Claims a project and reads its record, its client configuration and,
  // with `with_manifest`, its manifest, without scanning. The messages say
  // why when it cannot.
  OpenOutcome LoadProjectDocuments(const std::string& name, std::string* file,
                                   bool with_manifest = false) {
    if (!ProjectExists(name)) return OpenOutcome::kNotFound;
    *file = ProjectFile(name);
    return TakeUpProject(st_, ui_, *file, with_manifest, "Projekt öffnen");
  }

  int Configure(const Options& o, const std::string& base) {
    const std::string& name = OneName(o);
    std::optional<int32_t> date;
    if (o.Has("--date")) date = ParseDateOption(o.Get("--date"));
    Start(base);
    std::string file;
    if (const OpenOutcome got = LoadProjectDocuments(name, &file); got != OpenOutcome::kOpened) {
      return StatusOf(got);
    }
    if (o.Has("--version")) st_.project.Version = o.Get("--version");
    if (date) st_.project.Date = *date;
    const std::optional<std::string> prog_exe = ProgramOption(o, st_.project.Source);
    ui_.project_dialog = [&](ProjectDialog& d) {
      FillDialog(d, o, name, prog_exe);
      return d.Apply();
    };
    std::string edited = file;
    const int applied = EditProjectSettings(st_, ui_, &edited);
    // The manifest was not loaded, so it must not be written back.
    st_.current_project.clear();
    const bool written = Finish();
    if (applied == 0) return kExitUsage;
    out_ << "Projekt \"" << Shown(name) << "\" konfiguriert.\n";
    return written ? kExitOk : kExitFailed;
  }

  // Opens with scan and merge; the exit status, after a message, when it
  // cannot.
  int Open(const std::string& name) {
    if (!ProjectExists(name)) return kExitUsage;
    return StatusOf(OpenProjectFile(st_, ui_, ProjectFile(name)));
  }

  int Status(const Options& o, const std::string& base) {
    const std::string& name = OneName(o);
    Start(base);
    if (const int status = Open(name); status != kExitOk) return status;
    out_ << "Projekt \"" << Shown(st_.project.Titel) << "\", Version \""
         << Shown(st_.project.Version) << "\", Datum " << FormatDate(st_.project.Date) << "\n";
    for (int i = 0; i < ui_.RowCount(); ++i) {
      const ListRow r = ui_.Row(i);
      std::string rule = r.rule;
      rule.resize(std::max<size_t>(rule.size(), 10), ' ');
      const std::string name = !r.refused.empty() ? RefusedLabel(r.name, r.refused)
                               : r.removed        ? RemovedLabel(r.name)
                                                  : r.name;
      out_ << (r.checked ? "[x] " : "[ ] ") << rule << " " << Shown(r.path + name);
      if (r.item >= 0 && static_cast<size_t>(r.item) < st_.file_list.size()) {
        const std::string why = ProposalText(st_.file_list[static_cast<size_t>(r.item)].Reason);
        if (!why.empty()) out_ << "  (" << why << ")";
      }
      out_ << "\n";
    }
    PrintPatchSummary();
    const bool complete = PrintScanSummary();
    return Finish() && complete ? kExitOk : kExitFailed;
  }

  // The patches the current set offers, and what they save against the
  // packed files they stand in for.
  void PrintPatchSummary() {
    int patches = 0;
    int64_t saved = 0;
    const std::string target = WithTrailingSeparator(TargetFolder(st_));
    for (const auto& [key, e] : st_.manifest) {
      const int64_t whole = e.Patches.empty() ? -1 : fs::FileSize(target + e.Pack);
      for (const PatchRef& p : e.Patches) {
        ++patches;
        if (whole > p.Size) saved += whole - p.Size;
      }
    }
    const int kept = st_.project.KeptGenerations > 0 ? st_.project.KeptGenerations
                                                     : kDefaultKeptGenerations;
    out_ << "Patches: " << patches << ", " << saved
         << " Bytes kleiner als die ganzen Dateien (aufgehoben: die letzten " << kept
         << " Versionen jeder Datei)\n";
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
    err_ << "Datei \"" << Shown(relpath) << "\" ist nicht im Quellverzeichnis des Projekts.\n";
    return -1;
  }

  int Rule(const Options& o, const std::string& base) {
    const std::string& name = OneName(o, 3);
    int32_t flags = 0;
    if (!RuleFromLabel(o.positional[2], &flags)) {
      throw UsageError{"Unbekannte Regel " + o.positional[2]};
    }
    Start(base);
    if (const int status = Open(name); status != kExitOk) return status;
    int row = FindRow(o.positional[1]);
    if (row >= 0 && !ui_.Row(row).refused.empty()) {
      err_ << "Datei \"" << Shown(o.positional[1]) << "\" wird nicht veröffentlicht ("
           << Shown(ui_.Row(row).refused) << "); sie kann keine Regel erhalten.\n";
      row = -1;
    } else if (row >= 0 && !SetRuleOfRow(st_, ui_, row, flags)) {
      err_ << "Datei \"" << Shown(o.positional[1])
           << "\" ist nicht mehr im Quellverzeichnis; sie kann nur die Regel Delete erhalten.\n";
      row = -1;
    } else if (row >= 0) {
      out_ << Shown(o.positional[1]) << ": " << RuleLabel(flags) << "\n";
    }
    const bool written = Finish();
    if (row < 0) return kExitUsage;
    return written ? kExitOk : kExitFailed;
  }

  // The signing key's password from the first line of standard input, and
  // the signature's lifetime.
  void TakeSigningOptions(const Options& o) {
    if (o.flags.count("--password-stdin")) ui_.key_password = ReadLine();
    if (o.Has("--keep")) {
      const std::string& v = o.Get("--keep");
      if (v.empty() || v.size() > 4 || v.find_first_not_of("0123456789") != std::string::npos ||
          std::atoi(v.c_str()) < 1) {
        throw ArgumentError{"--keep erwartet eine Zahl ab 1"};
      }
      st_.keep_manifests = std::atoi(v.c_str());
    }
    if (o.Has("--accept-host-key")) {
      if (!ValidPin(o.Get("--accept-host-key"))) {
        throw ArgumentError{"--accept-host-key erwartet einen SHA-256-Fingerabdruck wie "
                            "\"SHA256:...\""};
      }
      ui_.accepted_host_key = NormalPin(o.Get("--accept-host-key"));
    }
    if (o.Has("--expires-days")) {
      const std::string& v = o.Get("--expires-days");
      const int days = std::atoi(v.c_str());
      if (v.empty() || v.size() > 5 || v.find_first_not_of("0123456789") != std::string::npos ||
          days < 1) {
        throw UsageError{"Ungültige Zahl von Tagen: " + v};
      }
      st_.expires_days = days;
    }
  }

  std::string ReadLine() {
    std::string line;
    std::getline(in_, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }

  int Generate(const Options& o, const std::string& base) {
    const std::string& name = OneName(o);
    std::optional<int32_t> date;
    if (o.Has("--date")) date = ParseDateOption(o.Get("--date"));
    TakeSigningOptions(o);
    const int jobs = ParseJobsOption(o);
    int kept_generations = 0;
    if (o.Has("--kept-generations")) {
      const std::string& v = o.Get("--kept-generations");
      kept_generations = std::atoi(v.c_str());
      if (v.empty() || v.size() > 3 || v.find_first_not_of("0123456789") != std::string::npos ||
          kept_generations < 1 || kept_generations > kMaxKeptGenerations) {
        throw ArgumentError{"--kept-generations erwartet eine Zahl von 1 bis " +
                            std::to_string(kMaxKeptGenerations)};
      }
    }
    Start(base);
    if (const int status = Open(name); status != kExitOk) return status;
    if (kept_generations != 0) st_.project.KeptGenerations = kept_generations;
    if (o.Has("--version")) ui_.SetVersionText(o.Get("--version"));
    if (date) ui_.SetDateValue(*date);
    if (!o.only.empty()) {
      std::vector<int> rows;
      for (const std::string& rel : o.only) {
        const int row = FindRow(rel);
        if (row >= 0 && ui_.Row(row).removed) {
          err_ << "Datei \"" << Shown(rel)
               << "\" ist nicht mehr im Quellverzeichnis und kann nicht erstellt werden.\n";
        } else if (row >= 0 && !ui_.Row(row).refused.empty()) {
          err_ << "Datei \"" << Shown(rel) << "\" wird nicht veröffentlicht ("
               << Shown(ui_.Row(row).refused) << ").\n";
        }
        if (row < 0 || ui_.Row(row).removed || !ui_.Row(row).refused.empty()) {
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
    // A generation that changed nothing leaves the project's documents as
    // they were, its version included.
    if (!g.written) st_.current_project.clear();
    if (o.flags.count("--upload")) {
      // A set that could not be written is not the release asked for, and
      // without the project the upload would not know where its records go.
      if (!g.written) {
        err_ << "Es wurde nichts hochgeladen, weil das Update nicht erstellt werden konnte.\n";
        status = kExitFailed;
      } else if (!UploadAndReport()) {
        status = kExitFailed;
      }
    }
    if (!Finish()) status = kExitFailed;
    return status;
  }

  bool UploadAndReport() {
    // A build pipeline hands the password over in the environment, which no
    // process list shows; it is used for this run and never stored.
    if (const std::string given = fs::GetEnv(kFtpPasswordVariable); !given.empty()) {
      st_.session_ftp_password = given;
    }
    auto ftp = MakeFtpClient();
    const UploadResult r = UploadUpdateSet(st_, ui_, *ftp);
    if (r.outcome == UploadResult::kDone) {
      out_ << r.sent << " Dateien hochgeladen";
      if (r.already_there > 0) out_ << " (" << r.already_there << " schon auf dem Server)";
      out_ << (r.manifest_sent ? ", Quastorell.uif gesendet." : ".") << "\n";
      if (!r.removed.empty()) {
        out_ << r.removed.size() << " nicht mehr benötigte Dateien auf dem Server gelöscht.\n";
      }
    }
    if (r.outcome == UploadResult::kConnectFailed) {
      err_ << "FTP: " << Shown(ftp->LastError()) << "\n";
    }
    if (r.outcome == UploadResult::kNoNetwork) err_ << "Das Netzwerk ist nicht verfügbar.\n";
    // Only a first SFTP host key is taken that way; a certificate no
    // authority vouches for is pinned in the settings, as the message says.
    if (r.outcome == UploadResult::kIdentityRefused && !r.presented_key.empty() &&
        r.identity == IdentityProblem::kUnknownHostKey) {
      err_ << "Wenn dies der Schlüssel des Servers ist: --accept-host-key " << r.presented_key
           << "\n";
    }
    // kSigningFailed: the message has said why.
    return r.ok();
  }

  int Upload(const Options& o, const std::string& base) {
    const std::string& name = OneName(o);
    TakeSigningOptions(o);
    Start(base);
    std::string file;
    if (const OpenOutcome got = LoadProjectDocuments(name, &file, true);
        got != OpenOutcome::kOpened) {
      return StatusOf(got);
    }
    st_.current_project = file;
    // Files that left the release decide what the server's manifest lists.
    ScanSource(st_.project.Source, &st_.file_list);
    AddRemovedFiles(&st_.file_list, st_.manifest, st_.project.Source);
    st_.last_marked_count = static_cast<int>(PendingUploads(st_).size());
    const bool ok = UploadAndReport();
    // Nothing else changed; the manifest was written by the upload itself.
    st_.current_project.clear();
    const bool written = Finish();
    return ok && written ? kExitOk : kExitFailed;
  }

  int Keygen(const Options& o, const std::string& base) {
    if (!o.positional.empty()) throw UsageError{"Falsche Zahl von Argumenten"};
    std::optional<std::string> password;
    if (o.flags.count("--password-stdin")) {
      password = ReadLine();
      if (password->empty()) throw UsageError{"Das Passwort ist leer"};
    }
    Start(base);
    if (!DirectoryExists(st_.base_folder)) CreateDirectoryTree(st_.base_folder);
    const std::string why = CreateSigningKey(st_, password);
    if (!why.empty()) {
      err_ << Shown(why) << "\n";
      Finish();
      return kExitUsage;
    }
    std::string pub_text;
    PublicKey pub;
    fs::ReadFile(st_.base_folder + kPublicKeyFile, &pub_text);
    ParsePublicKey(pub_text, &pub);
    out_ << "Schlüssel " << KeyIdText(pub.id) << " erstellt"
         << (password ? " (verschlüsselt)" : "") << ":\n  "
         << fs::NativePath(st_.base_folder + kSecretKeyFile) << "  (geheim: sichern, nie weitergeben)\n  "
         << fs::NativePath(st_.base_folder + kPublicKeyFile)
         << "  (kommt mit jedem Update-Satz nach \"Quasto\\\")\n";
    return Finish() ? kExitOk : kExitFailed;
  }

  int Sign(const Options& o, const std::string& base) {
    const std::string& name = OneName(o);
    TakeSigningOptions(o);
    Start(base);
    std::string file;
    if (const OpenOutcome got = LoadProjectDocuments(name, &file, true);
        got != OpenOutcome::kOpened) {
      return StatusOf(got);
    }
    if (!HasSigningKey(st_)) {
      err_ << "Im Basisverzeichnis liegt kein Schlüssel; erstellen mit \"keygen\".\n";
      Finish();
      return kExitUsage;
    }
    // Files that left the release decide what the signed manifest lists.
    ScanSource(st_.project.Source, &st_.file_list);
    AddRemovedFiles(&st_.file_list, st_.manifest, st_.project.Source);
    constexpr char kCaption[] = "Projekt signieren";
    SecretKey key;
    bool signed_ok = LoadSigningKey(st_, ui_, kCaption, &key);
    if (signed_ok) {
      const std::string why = WriteSignedManifest(st_, key, st_.expires_days);
      if (!why.empty()) ui_.ShowMessage(kCaption, why, MessageIcon::kError);
      signed_ok = why.empty();
    }
    if (signed_ok) {
      out_ << "Update-Info signiert: " << Shown(fs::NativePath(SignedManifestPath(st_)));
      if (st_.expires_days > 0) out_ << " (gültig für " << st_.expires_days << " Tage)";
      out_ << "\n";
    }
    // Nothing of the project changed.
    st_.current_project.clear();
    const bool written = Finish();
    return signed_ok && written ? kExitOk : kExitFailed;
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
      // As the window's choice: the protocol's own port comes with it, then
      // a port given replaces it.
      if (o.Has("--protocol")) d.ChooseProtocol(o.Get("--protocol"));
      if (o.Has("--port")) d.port = o.Get("--port");
      if (o.Has("--start-dir")) d.start_dir = o.Get("--start-dir");
      if (o.Has("--login")) d.login = o.Get("--login");
      if (o.Has("--fingerprint")) d.fingerprint = o.Get("--fingerprint");
      if (o.Has("--key-file")) {
        d.key_file = o.Get("--key-file").empty() ? "" : LogicPath(o.Get("--key-file"));
      }
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
  } catch (const ArgumentError& e) {
    err << e.text << "\n";
    return kExitUsage;
  } catch (const UsageError& e) {
    err << e.text << "\n\n" << Usage();
    return kExitUsage;
  }
}

}  // namespace quasto
