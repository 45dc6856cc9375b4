#include "client/updater.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>

#include "client/client_text.h"
#include "client/entry_checks.h"
#include "client/journal_check.h"
#include "client/manifest_trust.h"
#include "client/run_sequence.h"
#include "shared/dates.h"
#include "shared/folders.h"
#include "shared/file_stream.h"
#include "shared/fs.h"
#include "shared/limits.h"
#include "shared/name_key.h"
#include "shared/packed_file.h"
#include "shared/patch.h"
#include "shared/signature.h"
#include "shared/text.h"

namespace quasto::client {
namespace {

// Temporary names beside the installed file while its new version is
// staged: the file's name, this run's token, and one of these.
constexpr char kDownloadSuffix[] = ".~qdl";
constexpr char kFreshSuffix[] = ".~qnew";

// Tells this run's temporaries from another's: two runs on one installation
// must never take each other's half-written files for their own.
std::string RunToken() {
  std::random_device random;
  const uint64_t mixed = (static_cast<uint64_t>(random()) << 32 | random()) ^
                         static_cast<uint64_t>(fs::ClockNowNs());
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(mixed));
  return buf;
}

UpdActionStructure DirectoryAction(const std::string& dir, int32_t kind) {
  UpdActionStructure a;
  a.Dir = dir;
  a.Action = kind;
  return a;
}

UpdActionStructure DownloadAction(const UpdFileStructure& e, const std::string& local) {
  UpdActionStructure a;
  a.File = local;
  a.Pack = e.Pack;
  a.CRC = e.CRC;
  a.Size = e.Size;
  a.Date = e.Date;
  a.Attrib = e.Attrib;
  a.Action = kActionDownload;
  a.SHA256 = e.SHA256;
  return a;
}

// Hashes are compared in the manifest's form; other writers may use upper
// case.
std::string LowerHex(std::string hex) {
  for (char& c : hex) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return hex;
}

// Two entries that name one file as Windows finds it: the later one in the
// walk's order is refused, unless one is a file and the other its Delete,
// which is how a release renames a file in letter case (the Delete goes).
enum class SameName : uint8_t { kAlone, kRenamed, kSecond };

// The key under which Windows finds what an entry acts on, "" for an entry
// that acts on nothing.
std::string NameKeyOf(const UpdFileStructure& e) {
  if (e.Flags != kFlagNoUpdate && e.Flags != kFlagIfNotExist && e.Flags != kFlagDelete &&
      e.Flags != kFlagRun && e.Type != "F") {
    return "";
  }
  const bool is_dir = e.Type == "D" && e.Flags != kFlagRun && e.Flags != kFlagNormal;
  return is_dir ? "D" + WindowsNameKey(e.Path) : "F" + WindowsNameKey(e.Path + e.Name);
}

uint64_t Fnv1a(std::string_view s) {
  uint64_t h = 14695981039346656037ull;
  for (char c : s) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return h;
}

// For each entry of the table: whether another one names its file too, and
// for a refused one, the entry that came first. Keys are hashed and sorted
// rather than kept: a manifest of a million entries would need a second
// copy of every name.
std::vector<SameName> SameNames(const ManifestTable& table, std::vector<uint32_t>* first) {
  const size_t n = table.size();
  std::vector<SameName> verdicts(n, SameName::kAlone);
  first->assign(n, 0);
  std::vector<std::pair<uint64_t, uint32_t>> hashes;
  hashes.reserve(n);
  UpdFileStructure e;
  for (size_t i = 0; i < n; ++i) {
    table.Entry(i, &e);
    const std::string key = NameKeyOf(e);
    if (!key.empty()) hashes.emplace_back(Fnv1a(key), static_cast<uint32_t>(i));
  }
  std::sort(hashes.begin(), hashes.end());
  for (size_t a = 0; a < hashes.size();) {
    size_t b = a + 1;
    while (b < hashes.size() && hashes[b].first == hashes[a].first) ++b;
    if (b - a > 1) {
      // Equal hashes: the keys themselves decide, in the walk's order.
      std::vector<std::pair<std::string, uint32_t>> group;
      for (size_t k = a; k < b; ++k) {
        table.Entry(hashes[k].second, &e);
        group.emplace_back(NameKeyOf(e), hashes[k].second);
      }
      std::sort(group.begin(), group.end());
      for (size_t g = 0; g < group.size();) {
        size_t h = g + 1;
        while (h < group.size() && group[h].first == group[g].first) ++h;
        if (h - g > 1) {
          std::vector<uint32_t> files, deletes;
          for (size_t k = g; k < h; ++k) {
            table.Entry(group[k].second, &e);
            (e.Flags == kFlagDelete ? deletes : files).push_back(group[k].second);
          }
          std::vector<uint32_t>& kept = files.empty() ? deletes : files;
          for (size_t k = 1; k < kept.size(); ++k) {
            verdicts[kept[k]] = SameName::kSecond;
            (*first)[kept[k]] = kept[0];
          }
          if (!files.empty()) {
            for (uint32_t d : deletes) verdicts[d] = SameName::kRenamed;
          }
        }
        g = h;
      }
    }
    a = b;
  }
  return verdicts;
}

// The analysis shows each entry's name while it runs, but a window updated
// a million times would take longer than the analysis itself.
constexpr int64_t kShowEveryNs = 40'000'000;

// A new file without an extension whose content starts a script or an ELF
// program is one to run: on POSIX it gets its execute bit.
bool LooksExecutable(const std::string& name, std::string_view head) {
  return name.find('.', 1) == std::string::npos &&
         (head.substr(0, 2) == "#!" || head.substr(0, 4) == "\x7F" "ELF");
}

// The folder a folder path (ending in a separator) lies in.
std::string ParentFolder(const std::string& folder) {
  std::string f = folder;
  while (!f.empty() && fs::IsSeparator(f.back())) f.pop_back();
  return FolderPart(f);
}

}  // namespace

void WriteLogFile(const std::string& data_folder, const std::string& lines,
                  ClientSystem* system) {
  const std::string text =
      "Update  (" + FormatDate(fs::NowDateValue(), true) + ")\r\n" + lines + "\r\n";
  // A log that cannot be written is skipped without a word.
  fs::WriteFileAtomic(data_folder + kLogFile, system->LogEncoding(text));
}

int64_t FetchSize(const UpdActionStructure& a) {
  const int32_t size = a.PatchPack.empty() ? a.Size : a.PatchSize;
  return size > 0 ? size : 0;
}

int64_t TotalSize(const std::vector<UpdActionStructure>& actions) {
  int64_t sum = 0;
  for (const auto& a : actions) sum += FetchSize(a);
  return sum;
}

Updater::Updater(ClientContext* context, ClientView* view, HttpTransport* transport,
                 ClientSystem* system)
    : ctx_(context),
      view_(view),
      system_(system),
      transport_(transport),
      downloader_(transport, view),
      run_token_(RunToken()) {}

std::string Updater::DownloadName(const std::string& file) const {
  return file + "." + run_token_ + kDownloadSuffix;
}

std::string Updater::StagedName(const std::string& file) const {
  return file + "." + run_token_ + kFreshSuffix;
}

HashCache& Updater::hashes() {
  const std::string file = ctx_->data_folder + kHashCacheFile;
  if (hashes_.file() != file || hashes_.root() != ctx_->base_folder) {
    hashes_ = HashCache(file, ctx_->base_folder);
    hashes_.Load();
  }
  return hashes_;
}

std::string Updater::CacheKey(const std::string& local) const {
  const std::string& base = ctx_->base_folder;
  return local.compare(0, base.size(), base) == 0 ? local.substr(base.size()) : std::string();
}

bool Updater::IsOutdated(const UpdFileStructure& e, const std::string& local,
                         const fs::Glance& glance) {
  // Without a content hash only the date can tell, as older builders meant.
  if (e.SHA256.empty()) return (glance.is_link ? fs::FileDate(local) : glance.date) < e.Date;
  // With one, the content decides: a file copied without its dates, or one
  // stamped in another time zone, is current exactly when its bytes are.
  std::string hex;
  if (ctx_->repair) {
    // The cache is no witness here: a file damaged behind its back keeps
    // its stamp. What is read now is recorded for the next run.
    const int64_t since = fs::ClockNowNs();
    fs::FileStamp before;
    if (!fs::StatFile(local, &before) || !HashFile(local, &hex)) return true;
    hashes().Record(CacheKey(local), hex, since, &before);
    return hex != e.SHA256;
  }
  if (!hashes().Hash(CacheKey(local), &hex)) return true;  // missing or unreadable
  return hex != e.SHA256;
}

void Updater::WriteLog(const std::string& lines) {
  RunReport* report = ctx_->report;
  if (report == nullptr) {
    WriteLogFile(ctx_->data_folder, lines, system_);
    return;
  }
  report->log_lines = lines;
  report->log_written = true;
  WriteLogFile(ctx_->data_folder,
               (report->messages_to_log ? MessageLogLines(*report) : std::string()) + lines,
               system_);
}

void Updater::ReportPlan() {
  RunReport* report = ctx_->report;
  if (report == nullptr) return;
  for (const UpdActionStructure& a : actions_) {
    switch (a.Action) {
      case kActionDownload:
        report->planned.push_back("Fetch: " + CacheKey(a.File));
        report->bytes_to_fetch += FetchSize(a);
        break;
      case kActionDeleteFile:
        report->planned.push_back("Delete: " + CacheKey(a.File));
        break;
      case kActionDeleteDir:
        report->planned.push_back("Delete: " + CacheKey(a.Dir));
        break;
      default:
        report->planned.push_back("Create: " + CacheKey(a.Dir));
        break;
    }
  }
  for (size_t i = 0; i < refused_.size(); ++i) {
    report->failed.push_back({refused_[i], "refused: " + std::string(refusals_[i])});
  }
}

void Updater::ReportCommit(const std::vector<std::string>& placed) {
  RunReport* report = ctx_->report;
  if (report == nullptr) return;
  report->changed.insert(report->changed.end(), placed.begin(), placed.end());
  for (const UpdActionStructure& a : actions_) {
    if (a.Action == kActionDeleteFile) {
      if (FileExists(a.File) == 0) {
        report->deleted.push_back(CacheKey(a.File));
      } else {
        ReportFailedAction(a);
      }
    } else if (a.Action == kActionDeleteDir) {
      // One that is not empty stays by its rule.
      if (DirectoryExists(a.Dir) == 0) {
        report->deleted.push_back(CacheKey(a.Dir));
      } else if (IsDirectoryEmpty(a.Dir) == 1) {
        ReportFailedAction(a);
      }
    } else if (a.Action == kActionCreateDir && DirectoryExists(a.Dir) != 1) {
      ReportFailedAction(a);
    }
  }
}

// A delete or a folder that failed shows no message, but fails the run: the
// result names it, with the text a file that failed gets.
void Updater::ReportFailedAction(const UpdActionStructure& a) {
  if (ctx_->report == nullptr) return;
  ctx_->report->failed.push_back(
      {CacheKey(a.Action == kActionDeleteFile ? a.File : a.Dir), Text("ErrUpdate")});
}

std::string Updater::Text(const char* key) const {
  return Latin1ToUtf8(ctx_->language.LanguageText(key));
}

void Updater::ShowFileMessage(const char* key, const std::string& name) {
  if (ctx_->report != nullptr) ctx_->report->failed.push_back({name, Text(key)});
  view_->ShowMessage(" Quastorell", Text(key) + ":\n" + name, kIconWarning);
}

// One more action is through: the bar, the count of those left and the
// bytes still to fetch move on, and the window gets to repaint.
void Updater::ShowFileDone(const UpdActionStructure& a) {
  ++processed_;
  view_->SetProgressValue(processed_);
  view_->SetText(kCountText, std::to_string(action_count_ - processed_));
  remaining_ -= FetchSize(a);
  SetSummary(true);
  view_->DrainEvents();
}

void Updater::SetSummary(bool with_size) {
  std::string text = Text("Files2Upd");
  if (with_size) text += "  (" + SizeText(static_cast<float>(remaining_)) + ")";
  view_->SetText(kSummaryText, text);
}

void Updater::SetPlan(std::vector<UpdActionStructure> actions,
                      std::vector<std::string> run_list, std::vector<std::string> refused) {
  actions_ = std::move(actions);
  run_list_ = std::move(run_list);
  refused_ = std::move(refused);
  refusals_.clear();
  action_count_ = static_cast<int>(actions_.size());
  remaining_ = TotalSize(actions_);
  processed_ = 0;
  log_.clear();
}

int Updater::RunUpdate(const std::string& title) {
  actions_.clear();
  run_list_.clear();
  unverified_runs_.clear();
  refused_.clear();
  log_.clear();
  notes_.clear();
  processed_ = 0;
  quit_ = false;
  outcome_ = Outcome();

  if (!view_->OpenProgressWindow(title, Text("Files2Upd"), Text("Update"))) return 0;
  outcome_.window_opened = true;
  view_->SetText(kStatusText, Text("MsgLoadUpdInfo"));
  view_->DrainEvents();

  auto no_manifest = [&](const std::string& detail) {
    outcome_.manifest_fetched = false;
    view_->ShowMessage(" " + ctx_->config.ProgInfo, Text("ErrorURL") + "  ", kIconError);
    if (!detail.empty()) view_->ShowDetail(detail);
    view_->CloseProgressWindow();
    return 0;
  };
  // What arrived cannot be read as the publisher wrote it: never taken for a
  // manifest without entries, which would say that nothing is to be done.
  auto bad_manifest = [&](const std::string& why) {
    outcome_.manifest_error = why;
    view_->ShowMessage(" " + ctx_->config.ProgInfo, Text("ErrManifest") + "  ", kIconError);
    view_->CloseProgressWindow();
    return 0;
  };
  std::optional<std::string> body =
      downloader_.StartDownload(ctx_->config.URL + kManifestFile, "", kFlagResynchronize, 0,
                                kDefaultChunk, kMaxManifestBytes);
  if (!body && ctx_->Cancelled()) {
    EndCancelled();
    return 0;
  }
  if (!body) {
    if (!downloader_.last_not_whole().empty()) {
      outcome_.manifest_fetched = true;
      return bad_manifest(downloader_.last_not_whole());
    }
    // A refusal (403) is another fault than a wrong address (404).
    const int status = downloader_.last_status();
    if (downloader_.last_too_long()) {
      return no_manifest("The manifest is larger than " + std::to_string(kMaxManifestBytes) +
                         " bytes");
    }
    return no_manifest(status != 0 && (status < 200 || status > 299)
                           ? "HTTP status " + std::to_string(status)
                           : std::string());
  }
  outcome_.manifest_fetched = true;
  if (ctx_->report != nullptr) ctx_->report->bytes_fetched += static_cast<int64_t>(body->size());
  signature_required_ = SignatureRequired(ctx_->data_folder);
  if (signature_required_) {
    // The exact bytes received are what the publisher must have signed.
    std::optional<std::string> sig = downloader_.StartDownload(
        ctx_->config.URL + kManifestFile + kSignatureSuffix, "", kFlagResynchronize, 0,
        kDefaultChunk, kMaxSignatureBytes);
    // Cut short by a cancel, it is missing through no fault of the server's.
    if (!sig && ctx_->Cancelled()) {
      EndCancelled();
      return 0;
    }
    // A server that fails, or a connection that breaks, says nothing of the
    // manifest: the run ends as one that could not fetch it, and a later one
    // tries again. A server that answers that it has no signature (a 4xx
    // status), or sends what no signature is, refuses it.
    if (!sig && !downloader_.last_too_long() && downloader_.last_not_whole().empty()) {
      const int status = downloader_.last_status();
      if (status < 400 || status > 499) {
        return no_manifest(status >= 500 ? "HTTP status " + std::to_string(status) + " for " +
                                               kManifestFile + kSignatureSuffix
                                         : std::string("The signature could not be fetched"));
      }
    }
    std::string state_problem;
    const std::string why =
        sig ? CheckManifestSignature(ctx_->data_folder, *body, *sig,
                                     fs::ClockNowNs() / 1000000000, ctx_->config.ProjectId,
                                     &state_problem)
            : std::string("no signature on the server");
    if (sig && ctx_->report != nullptr) {
      ctx_->report->bytes_fetched += static_cast<int64_t>(sig->size());
      ctx_->report->signature_checked = why.empty();
    }
    if (why.empty() && !state_problem.empty()) {
      // The next run could be given an older manifest and take it.
      outcome_.state_problem = state_problem;
      const std::string said = state_problem +
                               ": a manifest older than this one would not be refused next time";
      notes_ += "-> Warning: " + said + "\n";
      view_->ShowDetail(said);
    }
    if (!why.empty()) {
      outcome_.signature_failure = why;
      view_->ShowMessage(" " + ctx_->config.ProgInfo, Text("ErrSignature") + "  ", kIconError);
      view_->CloseProgressWindow();
      return 0;
    }
  }
  ManifestTable manifest;
  std::string why;
  const ManifestRead read = manifest.Load(*body, &why);
  body.reset();
  if (read == ManifestRead::kNoMemory) return no_manifest("The manifest does not fit in memory");
  if (read != ManifestRead::kOk) return bad_manifest(why);
  if (ctx_->report != nullptr) {
    ctx_->report->manifest_read = true;
    ctx_->report->manifest_version = manifest.release_version();
    ctx_->report->manifest_date = manifest.release_date();
  }

  view_->SetText(kStatusText, Text("MsgReadUpdInfo"));
  view_->DrainEvents();
  action_count_ = AnalyseManifest(&actions_, manifest, &run_list_);
  if (ctx_->Cancelled()) {
    EndCancelled();
    return 0;
  }
  outcome_.actions = action_count_;
  ReportPlan();
  view_->SetText(kStatusText, Text("MsgAnalysis"));
  view_->DrainEvents();
  view_->SetText(kCountText, std::to_string(action_count_));
  view_->DrainEvents();

  if (action_count_ > 0) {
    remaining_ = TotalSize(actions_);
    SetSummary(true);
    for (const UpdActionStructure& a : actions_) {
      switch (a.Action) {
        case kActionDownload:
          view_->ShowDetail(CacheKey(a.File) + " (" +
                            SizeText(static_cast<float>(FetchSize(a))) +
                            (a.PatchPack.empty() ? ")" : ", patch)"));
          break;
        case kActionDeleteFile:
          view_->ShowDetail("Delete: " + CacheKey(a.File));
          break;
        case kActionDeleteDir:
          view_->ShowDetail("Delete: " + CacheKey(a.Dir));
          break;
        default:
          view_->ShowDetail("Create: " + CacheKey(a.Dir));
          break;
      }
    }
    view_->EnableButton(true);
  } else {
    SetSummary(false);
    view_->SetText(kStatusText, Text("MsgNoUpdate"));
    view_->EnableButton(false);
  }
  for (size_t i = 0; i < refused_.size(); ++i) {
    view_->ShowDetail("Refused: " + refused_[i] + " (" + std::string(refusals_[i]) + ")");
  }
  view_->DrainEvents();

  // A check only asks: the button is never pressed, nothing is written.
  if (ctx_->check_only) {
    outcome_.refused = static_cast<int>(refused_.size());
    view_->CloseProgressWindow();
    return 0;
  }
  while (!quit_ && !ctx_->Cancelled()) {
    switch (view_->WaitEvent(30)) {
      case ViewEvent::kCloseWindow:
        quit_ = true;
        break;
      case ViewEvent::kButton:
        // The button stays disabled after one update; a stray click is lost.
        if (action_count_ > 0 && !outcome_.applied) ApplyUpdate();
        break;
      case ViewEvent::kNone:
        break;
    }
  }
  if (outcome_.cancelled) {
    view_->CloseProgressWindow();
    return 0;
  }
  if (!outcome_.applied && ctx_->Cancelled()) {
    EndCancelled();
    return 0;
  }
  // Nothing else to do, or an update declined, is no reason to keep quiet
  // about a state that cannot be written; nothing else to do none to keep
  // quiet about refused entries either.
  if (!outcome_.applied && (!notes_.empty() || (action_count_ == 0 && !refused_.empty()))) {
    WriteLog(notes_ + RefusedLines() + kLogEndLine);
  }
  // "Update complete." alone would say that the installation is the
  // release; the log says which entries it is not, and why.
  if (!refused_.empty() && (outcome_.applied || action_count_ == 0)) {
    const size_t n = refused_.size();
    view_->ShowDetail((n == 1 ? std::string("1 entry of the manifest was refused")
                              : std::to_string(n) + " entries of the manifest were refused") +
                      "; the log says why: " + fs::NativePath(ctx_->data_folder + kLogFile));
  }
  // What an earlier run staged for an update this run did not make (none
  // was to be made, or it was declined) is of no further use.
  if (!outcome_.applied) {
    DropKept(ctx_->base_folder, ctx_->data_folder + kJournalFile,
             JournalStepCheck(ctx_->base_folder, ctx_->data_folder, ctx_->executable));
  }
  outcome_.refused = static_cast<int>(refused_.size());
  view_->CloseProgressWindow();
  return 0;
}

int Updater::AnalyseManifest(std::vector<UpdActionStructure>* actions, const Manifest& manifest,
                             std::vector<std::string>* run_list) {
  return AnalyseManifest(actions, ManifestTable(manifest), run_list);
}

int Updater::AnalyseManifest(std::vector<UpdActionStructure>* actions, const ManifestTable& table,
                             std::vector<std::string>* run_list) {
  refused_.clear();
  refusals_.clear();
  refusal_texts_.clear();
  if (table.size() == 0) return 0;
  const int count = static_cast<int>(table.size());
  view_->SetFrameCaption(kStatusFrame, Text("FrameAnalyse"));
  view_->SetProgressMaximum(count);
  view_->SetProgressValue(0);

  std::vector<uint32_t> first;
  const std::vector<SameName> same = SameNames(table, &first);
  EntryChecks checks(ctx_->base_folder, ctx_->data_folder, ctx_->executable);
  int64_t shown_at = 0;
  UpdFileStructure e;
  // A cancelled run stops here: what is planned so far is never carried out.
  for (int i = 1; i <= count && !ctx_->Cancelled(); ++i) {
    const size_t index = static_cast<size_t>(i - 1);
    table.Entry(index, &e);
    e.SHA256 = LowerHex(std::move(e.SHA256));
    // The name of the entry at hand, the first one always, then as often as
    // a window can show it.
    const int64_t now = (i % 64 == 1) ? fs::ClockNowNs() : shown_at;
    if (i == 1 || now - shown_at >= kShowEveryNs) {
      shown_at = now;
      view_->SetText(kStatusText, e.Name);
      view_->SetProgressValue(i);
      view_->DrainEvents();
    }
    if (same[index] == SameName::kRenamed) continue;
    // A folder's rules: create it when missing, delete it when empty.
    const bool is_dir = e.Type == "D" && (e.Flags == kFlagIfNotExist || e.Flags == kFlagDelete);
    // Entries an update would never touch need no path check.
    const bool ignored = e.Flags == kFlagNoUpdate ||
                         (e.Flags != kFlagIfNotExist && e.Flags != kFlagDelete &&
                          e.Flags != kFlagRun && e.Type != "F");
    // A file that may be fetched needs a hash the client can check, or none.
    // Under a signature, a file without a hash could be anything at all.
    const bool may_fetch = !ignored && !is_dir && e.Flags != kFlagDelete;
    const std::string dir = ctx_->base_folder + e.Path;
    const std::string local = dir + e.Name;
    std::string_view why;
    fs::Glance glance;
    if (same[index] == SameName::kSecond) {
      UpdFileStructure other;
      table.Entry(first[index], &other);
      refusal_texts_.push_back("another entry names the same file: " + other.Path + other.Name);
      why = refusal_texts_.back();
    } else if (may_fetch && (e.SHA256.empty() ? signature_required_ : !IsSha256Hex(e.SHA256))) {
      why = e.SHA256.empty() ? "it has no SHA256, which a signed manifest must give"
                             : "its SHA256 is no hash";
    } else if (may_fetch && e.Size < 0) {
      // Sizes are 32 bits: a file of 2 GiB or more cannot be described.
      why = "its size is negative";
    } else if (!ignored) {
      if (is_dir) {
        // A folder entry's Name means nothing, but what it says may not leave either.
        why = IsSafeEntryPath(e.Path, e.Name, false)
                  ? checks.FolderRefusal(e.Path, e.Flags == kFlagDelete)
                  : kBadPath;
      } else {
        if (!checks.FolderMissing(e.Path)) glance = fs::GlancePath(local);
        why = checks.FileRefusal(e.Path, e.Name, e.Flags == kFlagDelete, &glance);
      }
    }
    if (!why.empty()) {
      Refuse(e, why);
      continue;
    }
    if (ignored) continue;
    // What is there, as FileExists and FileDate would say: a link is
    // followed, anything else was looked at once.
    const bool file_there = glance.is_link ? FileExists(local) == 1
                                           : glance.exists && !glance.is_directory;
    switch (e.Flags) {
      case kFlagIfNotExist:
        if (is_dir) {
          if (DirectoryExists(dir) == 0) actions->push_back(DirectoryAction(dir, kActionCreateDir));
        } else if (!file_there) {
          actions->push_back(DownloadAction(e, local));
        }
        break;
      case kFlagDelete:
        // Something already gone is no pending update: otherwise every run
        // after the first would offer an update that does nothing.
        if (is_dir) {
          if (DirectoryExists(dir) == 1) {
            actions->push_back(DirectoryAction(dir, kActionDeleteDir));
          }
        } else if (file_there) {
          UpdActionStructure a;
          a.File = local;
          a.Action = kActionDeleteFile;
          actions->push_back(a);
        }
        break;
      case kFlagRun:
        if (IsOutdated(e, local, glance)) {
          actions->push_back(DownloadAction(e, local));
          if (file_there) ChoosePatch(e, local, &actions->back());
          unverified_runs_.insert(local);
        }
        run_list->push_back(local);
        break;
      default:  // only file entries reach here
        if (IsOutdated(e, local, glance)) {
          actions->push_back(DownloadAction(e, local));
          if (file_there) ChoosePatch(e, local, &actions->back());
        }
        break;
    }
  }
  view_->SetText(kStatusText, e.Name);
  view_->SetProgressValue(count);
  view_->DrainEvents();
  // A shortcut for the next start; a cache that cannot be written (a
  // read-only installation) only costs time.
  hashes().Save();
  return static_cast<int>(actions->size());
}

std::string Updater::RefusedLine(size_t i) const {
  std::string line = "-> Update Error: " + EscapeControls(refused_[i]);
  // The reason may name another entry's path.
  if (i < refusals_.size()) line += " (" + EscapeControls(refusals_[i]) + ")";
  return line + "\n";
}

std::string Updater::RefusedLines() const {
  std::string lines;
  for (size_t i = 0; i < refused_.size(); ++i) lines += RefusedLine(i);
  return lines;
}

void Updater::Refuse(const UpdFileStructure& e, std::string_view why) {
  // Offered as an update, it would be pending on every run; it is said once,
  // with why, in the log of the run that applies the other actions.
  refused_.push_back(e.Path + e.Name);
  refusals_.push_back(why);
}

void Updater::ApplyUpdate() {
  outcome_.applied = true;
  log_ += notes_;
  downloader_.BindProgressText(kStatusText, kProgressTemplate);
  view_->SetFrameCaption(kStatusFrame, Text("FrameUpdate"));
  view_->SetProgressMaximum(action_count_);
  view_->SetProgressValue(0);
  view_->EnableButton(false);
  view_->DrainEvents();

  journal_file_ = ctx_->data_folder + kJournalFile;
  const std::string& journal_file = journal_file_;
  const StepCheck check =
      JournalStepCheck(ctx_->base_folder, ctx_->data_folder, ctx_->executable);
  // What an earlier run could not remove yet goes on with this journal, when
  // each of its steps is one this client may take.
  std::vector<JournalStep> carried = PendingSteps(journal_file, check, &log_);

  // Stage: every file to replace is fetched, checked and unpacked beside its
  // target. Nothing installed is touched yet. What an earlier run staged and
  // this one can use is taken up first.
  std::vector<Staged> staged(actions_.size());
  fresh_of_.assign(actions_.size(), std::string());
  resume_.assign(actions_.size(), Resume());
  const std::vector<JournalStep> taken_up = TakeUp(KeptSteps(journal_file, check, &log_), &staged);
  staging_ = StagingJournal(taken_up, carried);
  const Journal& staging = staging_;
  const bool staging_recorded =
      staging.steps.size() == carried.size() || SaveJournal(journal_file, staging);
  // Partial downloads taken up are removed by the commit, whatever became
  // of them.
  for (const JournalStep& s : taken_up) {
    if (s.kind != StepKind::kPartial) continue;
    JournalStep temp;
    temp.kind = StepKind::kTemporary;
    temp.path = s.path;
    carried.push_back(temp);
  }
  staged_bytes_ = 0;
  stage_total_ = 0;
  for (const UpdActionStructure& a : actions_) {
    if (a.Action == kActionDownload) stage_total_ += static_cast<uint32_t>(a.Size);
  }
  if (staging_recorded) {
    // The downloads run ahead of the unpacking, on one connection.
    std::vector<FetchPipeline::Request> requests;
    request_of_.assign(actions_.size(), 0);
    for (size_t i = 0; i < actions_.size(); ++i) {
      const UpdActionStructure& a = actions_[i];
      if (a.Action != kActionDownload || staged[i].ok) continue;
      request_of_[i] = requests.size();
      // The entry's Size is the content's (its low 32 bits); the packed file
      // is at most 16 bytes longer. One that goes on would fill the disk.
      if (!a.PatchPack.empty()) {
        requests.push_back(
            {ctx_->config.URL + PercentEncode(a.PatchPack), a.File, a.PatchSize, 0, {}});
        continue;
      }
      requests.push_back({ctx_->config.URL + PercentEncode(a.Pack), a.File,
                          static_cast<int64_t>(static_cast<uint32_t>(a.Size)) + kPackedOverhead,
                          resume_[i].from, resume_[i].version});
    }
    if (!requests.empty()) {
      pipeline_ = std::make_unique<FetchPipeline>(transport_, std::move(requests));
    }
  }
  std::vector<size_t> whole_after_all;  // patches that failed
  for (size_t i = 0; i < actions_.size() && !ctx_->Cancelled(); ++i) {
    const UpdActionStructure& a = actions_[i];
    if (a.Action == kActionDownload && staged[i].ok) {
      // Staged by an earlier run, and checked again.
      staged_bytes_ += static_cast<uint32_t>(a.Size);
      view_->ShowTransfer(staged_bytes_, stage_total_);
    } else if (a.Action == kActionDownload && staging_recorded && !a.PatchPack.empty()) {
      std::string why;
      if (!StageFromPatch(i, &staged[i], &why) && !ctx_->Cancelled()) {
        log_ += "-> Patch not used: " + EscapeControls(FilePart(a.File)) + " (" + why +
                "); fetched whole\n";
        whole_after_all.push_back(i);
        continue;  // counted when it is staged whole
      }
    } else if (a.Action == kActionDownload) {
      // Without the record, a kill could leave temporaries nobody removes.
      const bool ok = staging_recorded ? StageFile(i, &staged[i])
                                       : FailFile("ErrUpdate", FilePart(a.File), "", "");
      if (!ok && staged[i].fetch_again && !ctx_->Cancelled()) {
        whole_after_all.push_back(i);
        continue;  // counted when it is staged whole
      }
      if (!ok) ++outcome_.failures;
    }
    ShowFileDone(a);
  }

  pipeline_.reset();
  if (!whole_after_all.empty() && !ctx_->Cancelled()) StageWhole(whole_after_all, &staged);
  if (ctx_->Cancelled()) {
    // Before the commit journal nothing installed has been touched: the
    // staging goes again, as after a kill, but for the partial downloads
    // and staged files it recorded, which a later run takes up.
    if (staging_recorded) SaveKept(journal_file, KeepResumable(ctx_->base_folder, staging));
    log_ += RefusedLines();
    log_ += kLogCancelledLine;
    log_ += kLogEndLine;
    WriteLog(log_);
    outcome_.applied = false;
    outcome_.cancelled = true;
    view_->ShowDetail("The update was cancelled; nothing installed was changed");
    view_->EnableButton(false);
    return;
  }

  // The staged files were written without waiting for the disk; they are
  // brought to it together, once, before the journal vouches for them.
  std::vector<std::string> written;
  for (size_t i = 0; i < actions_.size(); ++i) {
    if (staged[i].ok) written.push_back(FreshName(i));
  }
  const bool on_disk = fs::FlushFiles(written);
  // Each staged file is read back as it lies on disk before anything is
  // moved into place: what another writer or a failing disk made of it since
  // it was written is never installed. Its attributes come last: a file
  // made read-only could not be flushed on Windows.
  for (size_t i = 0; i < actions_.size(); ++i) {
    if (!staged[i].ok) continue;
    const UpdActionStructure& a = actions_[i];
    std::string hex;
    if (!on_disk || !HashFile(FreshName(i), &hex) || hex != staged[i].hex) {
      staged[i].ok = false;
      fs::RemoveFile(FreshName(i));
      ShowFileMessage("ErrUpdate", FilePart(a.File));
      ++outcome_.failures;
    } else {
      fs::SetAttributes(FreshName(i), a.Attrib);
    }
  }

  // Commit: the journal lists every step; once it is on disk the update is
  // as good as done, since the next start completes what a kill interrupts.
  const Journal commit = CommitJournal(staged, carried);
  if (SaveJournal(journal_file, commit)) {
    CommitResult result = CarryOut(ctx_->base_folder, commit);
    CloseJournal(journal_file, result.pending);
    log_ += result.log;
    outcome_.failures += result.failures;
    ReportCommit(result.placed);
    for (const std::string& rel : result.failed) ShowFileMessage("ErrUpdate", FilePart(rel));
    std::map<std::string, const Staged*> by_path;
    for (size_t i = 0; i < actions_.size(); ++i) {
      if (staged[i].ok) by_path[CacheKey(actions_[i].File)] = &staged[i];
    }
    for (const std::string& rel : result.placed) {
      const auto it = by_path.find(rel);
      if (it != by_path.end()) hashes().Record(rel, it->second->hex, it->second->since);
      unverified_runs_.erase(ctx_->base_folder + rel);
    }
  } else {
    // Nothing installed has been touched: the staged files go again.
    CloseJournal(journal_file, UndoStaging(ctx_->base_folder, staging));
    for (size_t i = 0; i < actions_.size(); ++i) {
      const UpdActionStructure& a = actions_[i];
      if (a.Action != kActionDownload) {
        ++outcome_.failures;
        ReportFailedAction(a);
      } else if (staged[i].ok) {
        ShowFileMessage("ErrUpdate", FilePart(a.File));
        log_ += "-> Update Error: " + EscapeControls(FilePart(a.File)) + "\n";
        ++outcome_.failures;
      } else {
        log_ += "-> Update Error: " + EscapeControls(FilePart(a.File)) + "\n";
      }
    }
    log_ += RefusedLines();
  }

  SetSummary(false);
  view_->SetText(kCountText, "---");
  view_->SetProgressValue(action_count_);
  view_->DrainEvents();

  // The programs run on the new installation, never on a half-made one.
  if (!run_list_.empty()) {
    view_->SetText(kStatusText, Text("MsgProgram") + " .....");
    view_->DrainEvents();
    for (const std::string& program : run_list_) {
      if (FileExists(program) != 1) continue;
      // What is there is not what the signed manifest names, or a link
      // leads out of the folder: never run it.
      const bool may_run =
          !(signature_required_ && unverified_runs_.count(program) != 0) &&
          LeadsInto(ctx_->base_folder, program);
      if (may_run && system_->RunProgramAndWait(program, FolderPart(program))) {
        log_ += "-> Run: " + EscapeControls(FilePart(program)) + "\n";
      } else {
        // A program that did not run is said, never passed over.
        ShowFileMessage("ErrRun", FilePart(program));
        log_ += "-> Run Error: " + EscapeControls(FilePart(program)) + "\n";
        ++outcome_.failures;
      }
    }
  }
  log_ += kLogEndLine;
  hashes().Save();
  WriteLog(log_);
  view_->SetText(kStatusText, Text("MsgUpdate"));
  view_->DrainEvents();
  view_->EnableButton(false);
}

Journal Updater::StagingJournal(const std::vector<JournalStep>& taken_up,
                                const std::vector<JournalStep>& carried) const {
  Journal j;
  // Folders an earlier staging made come first, as their parents would.
  j.steps = taken_up;
  std::vector<std::string> made;
  for (const UpdActionStructure& a : actions_) {
    if (a.Action != kActionDownload) continue;
    // The folders staging will create, outermost first.
    std::vector<std::string> missing;
    for (std::string f = FolderPart(a.File);
         f.size() > ctx_->base_folder.size() && DirectoryExists(f) == 0; f = ParentFolder(f)) {
      missing.push_back(f);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      std::string rel = CacheKey(*it);
      for (char& c : rel) {
        if (fs::IsSeparator(c)) c = '\\';
      }
      if (std::find(made.begin(), made.end(), rel) != made.end()) continue;
      made.push_back(rel);
      JournalStep s;
      s.kind = StepKind::kMadeFolder;
      s.path = rel;
      j.steps.push_back(s);
    }
    for (const std::string& temp : {DownloadName(a.File), StagedName(a.File)}) {
      JournalStep s;
      s.kind = StepKind::kTemporary;
      s.path = CacheKey(temp);
      j.steps.push_back(s);
    }
  }
  j.steps.insert(j.steps.end(), carried.begin(), carried.end());
  return j;
}

Journal Updater::CommitJournal(const std::vector<Staged>& staged,
                               const std::vector<JournalStep>& carried) const {
  Journal j;
  j.committing = true;
  std::vector<std::string> asides;
  auto aside_for = [&](const std::string& local) {
    asides.push_back(AsideName(local, asides));
    return CacheKey(asides.back());
  };
  std::vector<JournalStep> temporaries, folders;
  for (size_t i = 0; i < actions_.size(); ++i) {
    const UpdActionStructure& a = actions_[i];
    JournalStep s;
    switch (a.Action) {
      case kActionDownload: {
        const std::string name = FilePart(a.File);
        JournalStep temp;
        temp.kind = StepKind::kTemporary;
        temp.path = CacheKey(DownloadName(a.File));
        temporaries.push_back(temp);
        if (staged[i].ok) {
          s.kind = StepKind::kPlace;
          s.path = CacheKey(a.File);
          s.staged = CacheKey(FreshName(i));
          s.aside = aside_for(a.File);
          s.line = "-> " + EscapeControls(name) + " (" +
                   SizeText(static_cast<float>(a.Size)) + ")" +
                   (staged[i].from_patch
                        ? " from a patch of " + SizeText(static_cast<float>(a.PatchSize))
                        : std::string()) +
                   "\n";
        } else {
          s.kind = StepKind::kNote;
          s.line = "-> Update Error: " + EscapeControls(name) + "\n";
          temp.path = CacheKey(FreshName(i));
          temporaries.push_back(temp);
        }
        break;
      }
      case kActionCreateDir:
        s.kind = StepKind::kMakeFolder;
        s.path = CacheKey(a.Dir);
        s.line = "-> Create: " + EscapeControls(a.Dir) + "\n";
        break;
      case kActionDeleteDir:
        if (DirectoryExists(a.Dir) == 0) continue;
        s.kind = StepKind::kRemoveFolder;
        s.path = CacheKey(a.Dir);
        s.line = "-> Delete: " + EscapeControls(a.Dir) + "\n";
        folders.push_back(s);
        continue;
      case kActionDeleteFile:
        if (FileExists(a.File) == 0) continue;
        s.kind = StepKind::kDelete;
        s.path = CacheKey(a.File);
        s.aside = aside_for(a.File);
        s.line = "-> Delete: " + EscapeControls(FilePart(a.File)) + "\n";
        break;
      default:
        continue;
    }
    j.steps.push_back(s);
  }
  // A folder goes once the files in it have gone, deepest first: in the
  // manifest's order a folder comes before its files.
  std::stable_sort(folders.begin(), folders.end(), [](const JournalStep& x, const JournalStep& y) {
    return std::count(x.path.begin(), x.path.end(), '\\') >
           std::count(y.path.begin(), y.path.end(), '\\');
  });
  j.steps.insert(j.steps.end(), folders.begin(), folders.end());
  for (size_t i = 0; i < refused_.size(); ++i) {
    JournalStep s;
    s.kind = StepKind::kNote;
    s.line = RefusedLine(i);
    j.steps.push_back(s);
  }
  j.steps.insert(j.steps.end(), temporaries.begin(), temporaries.end());
  j.steps.insert(j.steps.end(), carried.begin(), carried.end());
  return j;
}

bool Updater::FailFile(const char* key, const std::string& name, const std::string& dl,
                       const std::string& fresh) {
  if (!dl.empty()) fs::RemoveFile(dl);
  if (!fresh.empty()) fs::RemoveFile(fresh);
  // A transfer stopped by a cancel is no fault of the file.
  if (!ctx_->Cancelled()) ShowFileMessage(key, name);
  return false;
}

void Updater::EndCancelled() {
  outcome_.cancelled = true;
  WriteLog(notes_ + kLogCancelledLine + kLogEndLine);
  view_->ShowDetail("The update was cancelled; nothing installed was changed");
  view_->CloseProgressWindow();
}

// The installed file is not touched here: the packed file is kept beside it
// with a running CRC-32 and unpacked, as it arrives, into a second temporary
// file, which gets the file's date (its attributes once it is flushed). The
// commit moves it into place.
bool Updater::StageFile(size_t i, Staged* staged) {
  const UpdActionStructure& a = actions_[i];
  const std::string name = FilePart(a.File);
  // Checked at the analysis too; a link may have been made since.
  if (!LeadsInto(ctx_->base_folder, a.File)) return FailFile("ErrUpdate", name, "", "");
  const std::string dl = DownloadName(a.File);
  const std::string fresh = StagedName(a.File);
  const Resume resume = resume_[i];
  view_->SetText(kStatusText, name + " ( 0% )");
  const std::string folder = FolderPart(a.File);
  if (DirectoryExists(folder) == 0) CreateDirectoryTree(folder);

  // The packed file is unpacked as it arrives, while the next ones are still
  // coming; it is kept beside the target too, for nothing is installed
  // before the CRC-32 of all of it and the content's hash are checked.
  const int64_t content_size = static_cast<int64_t>(static_cast<uint32_t>(a.Size));
  const int64_t max_bytes = content_size + kPackedOverhead;
  uint32_t crc = 0;
  bool stored = true;
  UnpackStatus status = UnpackStatus::kReadFailed;
  bool written = false, closed = false;
  std::string head;  // the content's first bytes
  Sha256 content_hash;
  const int64_t since = fs::ClockNowNs();
  FetchPipeline::Result fetched;
  // The partial download is recorded for a later run (and kept by a
  // cancel) once the server has named its version.
  bool recorded = false;
  // The bytes an earlier run took of the file come first, when the server
  // sends the rest of it; a 200 brings the whole file and they go unused.
  bool resumed = false;
  {
    // Both files are closed before either is removed: Windows cannot delete
    // an open file.
    fs::OutputFile out, result;
    fs::InputFile earlier;
    if (!out.Create(dl) || !result.Create(fresh)) return FailFile("ErrUpdate", name, dl, fresh);
    DownloadProgress progress(view_, downloader_.binding(), true, a.File);
    progress.Begin();
    pipeline_->Open(request_of_[i]);
    bool first = true;
    int64_t earlier_left = 0;
    std::string waiting;  // the first piece of the rest, while the start is read
    size_t waiting_at = 0;
    auto next = [&](char* buf, size_t cap) -> int64_t {
      if (first) {
        first = false;
        const int64_t n = pipeline_->Read(buf, cap);
        if (resume.from <= 0 || n <= 0 || pipeline_->starts_at() != resume.from) return n;
        if (!earlier.Open(resume.partial)) return -1;
        resumed = true;
        earlier_left = resume.from;
        waiting.assign(buf, static_cast<size_t>(n));
      }
      if (earlier_left > 0) {
        const int64_t m =
            earlier.Read(buf, static_cast<size_t>(std::min<int64_t>(cap, earlier_left)));
        if (m <= 0) return -1;  // shorter than it was: not what the range continues
        earlier_left -= m;
        return m;
      }
      if (waiting_at < waiting.size()) {
        const size_t m = std::min(cap, waiting.size() - waiting_at);
        std::memcpy(buf, waiting.data() + waiting_at, m);
        waiting_at += m;
        return static_cast<int64_t>(m);
      }
      return pipeline_->Read(buf, cap);
    };
    bool length_shown = false;
    auto read = [&](char* buf, size_t cap) -> int64_t {
      const int64_t n = next(buf, cap);
      if (!length_shown && pipeline_->announced() != -1) {
        const int64_t start = std::max<int64_t>(pipeline_->starts_at(), 0);
        const int64_t length = pipeline_->announced() < 0 ? -1 : start + pipeline_->announced();
        progress.Length(length);
        length_shown = true;
        if (!pipeline_->version().empty() && length >= kResumableFrom) {
          JournalStep part;
          part.kind = StepKind::kPartial;
          part.path = CacheKey(dl);
          part.source = a.Pack;
          part.version = pipeline_->version();
          Record(part);
          recorded = true;
        }
      }
      if (n <= 0) return n;
      const std::string_view piece(buf, static_cast<size_t>(n));
      crc = Crc32(piece, crc);
      stored = stored && out.Write(buf, piece.size());
      if (!stored) return -1;
      progress.Piece(piece.size());
      return n;
    };
    status = UnpackStream(
        read, static_cast<uint64_t>(max_bytes),
        [&](std::string_view piece) {
          content_hash.Update(piece);
          if (head.size() < 4) head.append(piece.substr(0, 4 - head.size()));
          staged_bytes_ += static_cast<int64_t>(piece.size());
          view_->ShowTransfer(staged_bytes_, stage_total_);
          return result.Write(piece.data(), piece.size());
        },
        content_size);
    // The CRC-32 covers the whole transfer, whatever the unpacking made of
    // it: a damaged file is told apart from a broken download as before.
    if (stored && status != UnpackStatus::kSinkFailed) {
      char rest[4096];
      while (read(rest, sizeof rest) > 0) {
      }
    }
    fetched = pipeline_->Close();
    if (ctx_->report != nullptr && fetched.received > 0) {
      ctx_->report->bytes_fetched += fetched.received;
    }
    progress.End(fetched.received >= 0);
    // Flushed with the others before the journal vouches for it; the packed
    // file never needs to reach the disk.
    closed = out.CloseUnflushed();
    written = result.CloseUnflushed();
    earlier.Close();
  }
  // A cancel keeps what came of a recorded transfer for a later run.
  const std::string drop = recorded && ctx_->Cancelled() ? std::string() : dl;
  // A transfer taken up from an earlier run that does not make the file
  // (another answer than the rest or the whole, a start that was damaged)
  // is fetched again from its start, once.
  auto again = [&] {
    if (resume.from <= 0 || ctx_->Cancelled()) return false;
    fs::RemoveFile(dl);
    fs::RemoveFile(fresh);
    fs::RemoveFile(resume.partial);
    staged->fetch_again = true;
    return true;
  };
  if (!stored || (fetched.received > 0 && !closed)) return FailFile("ErrUpdate", name, dl, fresh);
  if (fetched.received <= 0 || crc != static_cast<uint32_t>(a.CRC)) {
    if (again()) return false;
    return FailFile("ErrDownload", name, drop, fresh);
  }
  if (status != UnpackStatus::kOk || !written) {
    if (written && again()) return false;
    return FailFile("ErrUpdate", name, dl, fresh);
  }
  // The CRC-32 only says the download is the packed file the manifest names;
  // the hash says its content is the publisher's file.
  const std::string hex = content_hash.FinishHex();
  if (!a.SHA256.empty() && hex != a.SHA256) {
    if (again()) return false;
    return FailFile("ErrUpdate", name, dl, fresh);
  }
  // Taken up or not, the earlier start is of no use any more.
  if (resume.from > 0) fs::RemoveFile(resume.partial);

  // Renaming keeps them all, so the file is complete the moment it is in
  // place: the installed file's permission bits (a program stays one to
  // run), its date and its attributes.
  if (FileExists(a.File) == 1) {
    fs::CopyPermissions(a.File, fresh);
  } else if (LooksExecutable(name, head)) {
    fs::MakeExecutable(fresh);
  }
  fs::SetFileDate(fresh, a.Date);
  // Checked and complete: a later run may use it as it is, after hashing it
  // again, should this one end before its commit.
  if (!a.SHA256.empty() &&
      (resumed ? resume.from : 0) + std::max<int64_t>(fetched.received, 0) >= kResumableFrom) {
    JournalStep kept;
    kept.kind = StepKind::kStaged;
    kept.path = CacheKey(fresh);
    kept.version = hex;
    Record(kept);
  }
  fs::RemoveFile(dl);
  staged->ok = true;
  staged->hex = hex;
  staged->since = since;
  return true;
}

void Updater::ChoosePatch(const UpdFileStructure& e, const std::string& local,
                          UpdActionStructure* a) {
  if (e.Patches.empty() || e.SHA256.empty()) return;
  std::string installed;
  if (!hashes().Hash(CacheKey(local), &installed)) return;
  for (const PatchRef& p : e.Patches) {
    // Only a patch made for exactly this content, with a hash to check it
    // by, a plain name beside the packed files, and smaller than the file.
    const bool plain = !p.Pack.empty() && p.Pack.size() <= kMaxPackNameBytes && p.Pack != "." &&
                       p.Pack != ".." && p.Pack.find_first_of("/\\:") == std::string::npos;
    if (LowerHex(p.Base) != installed || !plain || !IsSha256Hex(p.SHA256) || p.Size <= 0 ||
        static_cast<int64_t>(p.Size) >=
            static_cast<int64_t>(static_cast<uint32_t>(e.Size)) + kPackedOverhead) {
      continue;
    }
    a->PatchPack = p.Pack;
    a->PatchSize = p.Size;
    a->PatchSHA256 = LowerHex(p.SHA256);
    return;
  }
}

// The patch is kept beside the target where the packed file would be, and
// the result goes where the unpacked file would: the same temporaries, so
// the journal, the commit and a kill treat both ways alike.
bool Updater::StageFromPatch(size_t i, Staged* staged, std::string* why) {
  const UpdActionStructure& a = actions_[i];
  const std::string name = FilePart(a.File);
  const std::string dl = DownloadName(a.File);
  const std::string fresh = StagedName(a.File);
  auto fail = [&](const std::string& what) {
    fs::RemoveFile(dl);
    fs::RemoveFile(fresh);
    *why = what;
    return false;
  };
  if (!LeadsInto(ctx_->base_folder, a.File)) return fail("the file leads out of the folder");
  view_->SetText(kStatusText, name + " ( 0% )");
  const int64_t since = fs::ClockNowNs();
  // The patch, whole and checked, before any of it is applied.
  Sha256 patch_hash;
  FetchPipeline::Result fetched;
  bool kept = true, closed = false;
  {
    fs::OutputFile out;
    if (!out.Create(dl)) return fail("its temporary file cannot be written");
    DownloadProgress progress(view_, downloader_.binding(), true, a.File);
    progress.Begin();
    pipeline_->Open(request_of_[i]);
    bool length_shown = false;
    char buf[64 << 10];
    for (;;) {
      const int64_t n = pipeline_->Read(buf, sizeof buf);
      if (!length_shown && pipeline_->announced() != -1) {
        progress.Length(pipeline_->announced());
        length_shown = true;
      }
      if (n <= 0) break;
      patch_hash.Update(std::string_view(buf, static_cast<size_t>(n)));
      if (!out.Write(buf, static_cast<size_t>(n))) {
        kept = false;
        break;
      }
      progress.Piece(static_cast<size_t>(n));
    }
    fetched = pipeline_->Close();
    if (ctx_->report != nullptr && fetched.received > 0) {
      ctx_->report->bytes_fetched += fetched.received;
    }
    progress.End(fetched.received >= 0);
    closed = out.CloseUnflushed();
  }
  if (!kept || !closed) return fail("no space for the patch");
  if (fetched.received < 0) {
    return fail(fetched.status != 0 && fetched.status != 200
                    ? "HTTP status " + std::to_string(fetched.status)
                    : std::string("the transfer failed"));
  }
  if (fetched.received != a.PatchSize || patch_hash.FinishHex() != a.PatchSHA256) {
    return fail("the patch is not the one the manifest names");
  }
  // Applied to the installed file as it is now; a file changed since the
  // analysis gives another result, which the hashes catch.
  fs::InputFile base, patch;
  if (!base.Open(a.File) || !patch.Open(dl)) return fail("the files cannot be read");
  const int64_t base_size = fs::FileSize(a.File);
  const int64_t content_size = static_cast<int64_t>(static_cast<uint32_t>(a.Size));
  Sha256 content_hash;
  PatchStatus status;
  bool written = false;
  {
    fs::OutputFile result;
    if (!result.Create(fresh)) {
      base.Close();
      patch.Close();
      return fail("its temporary file cannot be written");
    }
    auto reader = [](fs::InputFile& f) {
      return [&f](uint64_t offset, char* buf, size_t cap) { return f.ReadAt(offset, buf, cap); };
    };
    status = ApplyPatch(
        reader(base), static_cast<uint64_t>(std::max<int64_t>(base_size, 0)), reader(patch),
        static_cast<uint64_t>(a.PatchSize),
        [&](std::string_view piece) {
          content_hash.Update(piece);
          staged_bytes_ += static_cast<int64_t>(piece.size());
          view_->ShowTransfer(staged_bytes_, stage_total_);
          return result.Write(piece.data(), piece.size());
        },
        content_size);
    written = result.CloseUnflushed();
  }
  base.Close();
  patch.Close();
  if (status == PatchStatus::kSinkFailed || (status == PatchStatus::kOk && !written)) {
    return fail("no space for the file");
  }
  if (status != PatchStatus::kOk) return fail(std::string("the patch failed: ") + PatchStatusText(status));
  const std::string hex = content_hash.FinishHex();
  if (hex != a.SHA256) return fail("the result is not the file the manifest names");
  fs::RemoveFile(dl);
  fs::CopyPermissions(a.File, fresh);
  fs::SetFileDate(fresh, a.Date);
  staged->ok = true;
  staged->hex = hex;
  staged->since = since;
  staged->from_patch = true;
  return true;
}

void Updater::StageWhole(const std::vector<size_t>& indexes, std::vector<Staged>* staged) {
  std::vector<FetchPipeline::Request> requests;
  for (size_t i : indexes) {
    const UpdActionStructure& a = actions_[i];
    resume_[i] = Resume();  // from its start this time
    request_of_[i] = requests.size();
    requests.push_back({ctx_->config.URL + PercentEncode(a.Pack), a.File,
                        static_cast<int64_t>(static_cast<uint32_t>(a.Size)) + kPackedOverhead,
                        0, {}});
    // Its content is written a second time.
    stage_total_ += static_cast<uint32_t>(a.Size);
  }
  pipeline_ = std::make_unique<FetchPipeline>(transport_, std::move(requests));
  for (size_t i : indexes) {
    if (ctx_->Cancelled()) break;
    const UpdActionStructure& a = actions_[i];
    if (!StageFile(i, &(*staged)[i])) ++outcome_.failures;
    ShowFileDone(a);
  }
  pipeline_.reset();
}

std::string Updater::FreshName(size_t i) const {
  return fresh_of_.size() > i && !fresh_of_[i].empty() ? fresh_of_[i]
                                                       : StagedName(actions_[i].File);
}

void Updater::Record(JournalStep step) {
  staging_.steps.push_back(std::move(step));
  // Not on disk, it is only a chance lost: the file is fetched again.
  SaveJournal(journal_file_, staging_);
}

std::vector<JournalStep> Updater::TakeUp(const std::vector<JournalStep>& kept,
                                         std::vector<Staged>* staged) {
  std::vector<JournalStep> carry;
  if (kept.empty()) return carry;
  const std::string& base = ctx_->base_folder;
  std::set<std::string> used;
  for (size_t i = 0; i < actions_.size(); ++i) {
    const UpdActionStructure& a = actions_[i];
    if (a.Action != kActionDownload || a.SHA256.empty()) continue;
    const std::string rel = CacheKey(a.File);
    const int64_t content_size = static_cast<int64_t>(static_cast<uint32_t>(a.Size));
    // A staged file is used only when its content, read again now, is the
    // one the manifest names: the record only says where to look.
    for (const JournalStep& s : kept) {
      if (s.kind != StepKind::kStaged || TemporaryOf(s.path) != rel || used.count(s.path) ||
          s.version != a.SHA256 || fs::FileSize(base + s.path) != content_size ||
          !LeadsInto(base, a.File)) {
        continue;
      }
      const int64_t since = fs::ClockNowNs();
      std::string hex;
      if (!HashFile(base + s.path, &hex) || hex != a.SHA256) continue;
      used.insert(s.path);
      carry.push_back(s);
      fresh_of_[i] = base + s.path;
      // A run killed just before its commit may have given it the entry's
      // attributes already; read-only, Windows would refuse to flush it.
      // They are given again once it is on disk.
      const int32_t attributes = fs::Attributes(fresh_of_[i]);
      if (attributes >= 0 && (attributes & fs::kAttrReadOnly) != 0) {
        fs::SetAttributes(fresh_of_[i], attributes & ~fs::kAttrReadOnly);
      }
      // As it was staged: the installed file's permission bits, the date.
      std::string head;
      if (FileExists(a.File) == 1) {
        fs::CopyPermissions(a.File, fresh_of_[i]);
      } else {
        fs::InputFile in;
        char buf[4];
        if (in.Open(fresh_of_[i])) {
          const int64_t n = in.Read(buf, sizeof buf);
          if (n > 0) head.assign(buf, static_cast<size_t>(n));
        }
        if (LooksExecutable(FilePart(a.File), head)) fs::MakeExecutable(fresh_of_[i]);
      }
      fs::SetFileDate(fresh_of_[i], a.Date);
      (*staged)[i].ok = true;
      (*staged)[i].hex = hex;
      (*staged)[i].since = since;
      break;
    }
    if ((*staged)[i].ok || !a.PatchPack.empty()) continue;
    // The longest partial download of the same packed file, as the server
    // named its version.
    const JournalStep* best = nullptr;
    int64_t best_size = 0;
    const int64_t max_bytes = content_size + kPackedOverhead;
    for (const JournalStep& s : kept) {
      if (s.kind != StepKind::kPartial || TemporaryOf(s.path) != rel || used.count(s.path) ||
          s.source != a.Pack || s.version.empty()) {
        continue;
      }
      const int64_t size = fs::FileSize(base + s.path);
      if (size > best_size && size < max_bytes) {
        best = &s;
        best_size = size;
      }
    }
    if (best != nullptr) {
      used.insert(best->path);
      carry.push_back(*best);
      resume_[i] = {base + best->path, best_size, best->version};
    }
  }
  // Everything else it left goes; its folders, once empty, too, deepest
  // first (a folder is recorded after its parent).
  std::vector<JournalStep> folders;
  for (const JournalStep& s : kept) {
    if (s.kind == StepKind::kMadeFolder) {
      folders.push_back(s);
    } else if (s.kind == StepKind::kDropBackup) {
      carry.push_back(s);
    } else if (s.kind == StepKind::kTemporary || s.kind == StepKind::kPartial ||
               s.kind == StepKind::kStaged) {
      if (used.count(s.path)) continue;
      fs::RemoveFile(base + s.path);
      if (FileExists(base + s.path) == 1) {
        JournalStep temp;
        temp.kind = StepKind::kTemporary;
        temp.path = s.path;
        carry.push_back(temp);
      }
    }
  }
  std::vector<JournalStep> still;
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    const std::string full = base + it->path;
    if (IsDirectoryEmpty(full) == 1) {
      std::string dir = full;
      while (dir.size() > 1 && fs::IsSeparator(dir.back())) dir.pop_back();
      fs::RemoveDir(dir);
    }
    if (DirectoryExists(full) == 1) still.insert(still.begin(), *it);
  }
  carry.insert(carry.begin(), still.begin(), still.end());
  return carry;
}

}  // namespace quasto::client
