#include "client/updater.h"

#include "client/client_text.h"
#include "client/manifest_trust.h"
#include "shared/dates.h"
#include "shared/folders.h"
#include "shared/file_stream.h"
#include "shared/fs.h"
#include "shared/packed_file.h"
#include "shared/signature.h"
#include "shared/text.h"

namespace quasto::client {
namespace {

// Temporary names beside the installed file while its new version is staged.
constexpr char kDownloadSuffix[] = ".~qdl";
constexpr char kFreshSuffix[] = ".~qnew";
constexpr char kBackupSuffix[] = ".bak";

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

}  // namespace

int IsDirectoryEmpty(const std::string& path) {
  std::vector<fs::DirEntry> entries;
  if (DirectoryExists(path) == 0 || !fs::ListDirectory(path, &entries)) return 0;
  return entries.empty() ? 1 : 0;
}

int64_t TotalSize(const std::vector<UpdActionStructure>& actions) {
  int64_t sum = 0;
  for (const auto& a : actions) {
    if (a.Size > 0) sum += a.Size;
  }
  return sum;
}

Updater::Updater(ClientContext* context, ClientView* view, HttpTransport* transport,
                 ClientSystem* system)
    : ctx_(context), view_(view), system_(system), downloader_(transport, view) {}

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

bool Updater::IsOutdated(const UpdFileStructure& e, const std::string& local) {
  // Without a content hash only the date can tell, as older builders meant.
  if (e.SHA256.empty()) return fs::FileDate(local) < e.Date;
  // With one, the content decides: a file copied without its dates, or one
  // stamped in another time zone, is current exactly when its bytes are.
  std::string hex;
  if (!hashes().Hash(CacheKey(local), &hex)) return true;  // missing or unreadable
  return hex != e.SHA256;
}

std::string Updater::Text(const char* key) const {
  return Latin1ToUtf8(ctx_->language.LanguageText(key));
}

void Updater::ShowFileMessage(const char* key, const std::string& name) {
  view_->ShowMessage(" Quastorell", Text(key) + ":\n" + name, kIconWarning);
}

void Updater::SetSummary(bool with_size) {
  std::string text = Text("Files2Upd");
  if (with_size) text += "  (" + SizeText(static_cast<float>(remaining_)) + ")";
  view_->SetText(kSummaryText, text);
}

void Updater::SetPlan(std::vector<UpdActionStructure> actions,
                      std::vector<std::string> run_list) {
  actions_ = std::move(actions);
  run_list_ = std::move(run_list);
  action_count_ = static_cast<int>(actions_.size());
  remaining_ = TotalSize(actions_);
  processed_ = 0;
  log_.clear();
}

int Updater::RunUpdate(const std::string& title) {
  actions_.clear();
  run_list_.clear();
  unverified_runs_.clear();
  log_.clear();
  processed_ = 0;
  quit_ = false;
  outcome_ = Outcome();

  if (!view_->OpenProgressWindow(title, Text("Files2Upd"), Text("Update"))) return 0;
  outcome_.window_opened = true;
  view_->SetText(kStatusText, Text("MsgLoadUpdInfo"));
  view_->DrainEvents();

  std::optional<std::string> body = downloader_.StartDownload(
      ctx_->config.URL + kManifestFile, "", kFlagResynchronize, 0, kDefaultChunk);
  if (!body) {
    view_->ShowMessage(" " + ctx_->config.ProgInfo, Text("ErrorURL") + "  ", kIconError);
    view_->CloseProgressWindow();
    return 0;
  }
  outcome_.manifest_fetched = true;
  signature_required_ = SignatureRequired(ctx_->data_folder);
  if (signature_required_) {
    // The exact bytes received are what the publisher must have signed.
    std::optional<std::string> sig = downloader_.StartDownload(
        ctx_->config.URL + kManifestFile + kSignatureSuffix, "", kFlagResynchronize, 0,
        kDefaultChunk);
    const std::string why =
        sig ? CheckManifestSignature(ctx_->data_folder, *body, *sig, fs::ClockNowNs() / 1000000000)
            : std::string("no signature on the server");
    if (!why.empty()) {
      outcome_.signature_failure = why;
      view_->ShowMessage(" " + ctx_->config.ProgInfo, Text("ErrSignature") + "  ", kIconError);
      view_->CloseProgressWindow();
      return 0;
    }
  }
  // A body that is no JSON object (an error page, say) leaves nothing to do.
  Manifest manifest;
  ManifestFromJson(*body, &manifest);
  body.reset();

  view_->SetText(kStatusText, Text("MsgReadUpdInfo"));
  view_->DrainEvents();
  action_count_ = AnalyseManifest(&actions_, manifest, &run_list_);
  outcome_.actions = action_count_;
  view_->SetText(kStatusText, Text("MsgAnalysis"));
  view_->DrainEvents();
  view_->SetText(kCountText, std::to_string(action_count_));
  view_->DrainEvents();

  if (action_count_ > 0) {
    remaining_ = TotalSize(actions_);
    SetSummary(true);
    view_->EnableButton(true);
  } else {
    SetSummary(false);
    view_->SetText(kStatusText, Text("MsgNoUpdate"));
    view_->EnableButton(false);
  }
  view_->DrainEvents();

  while (!quit_) {
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
  view_->CloseProgressWindow();
  return 0;
}

int Updater::AnalyseManifest(std::vector<UpdActionStructure>* actions, const Manifest& manifest,
                             std::vector<std::string>* run_list) {
  if (manifest.empty()) return 0;
  view_->SetFrameCaption(kStatusFrame, Text("FrameAnalyse"));
  view_->SetProgressMaximum(static_cast<int>(manifest.size()));
  view_->SetProgressValue(0);

  int i = 0;
  for (const auto& [key, entry] : manifest) {
    ++i;
    UpdFileStructure e = entry;
    e.SHA256 = LowerHex(std::move(e.SHA256));
    view_->SetText(kStatusText, e.Name);
    const bool is_dir = e.Type == "D";
    // Entries an update would never touch need no path check.
    const bool ignored = e.Flags == kFlagNoUpdate ||
                         (e.Flags != kFlagIfNotExist && e.Flags != kFlagDelete &&
                          e.Flags != kFlagRun && e.Type != "F");
    // A file that may be fetched needs a hash the client can check, or none.
    // Under a signature, a file without a hash could be anything at all.
    const bool may_fetch = !ignored && !is_dir && e.Flags != kFlagDelete;
    const bool bad_hash = may_fetch && (e.SHA256.empty() ? signature_required_
                                                         : !IsSha256Hex(e.SHA256));
    if (bad_hash || (!ignored && !IsSafeEntryPath(e.Path, e.Name, !is_dir))) {
      UpdActionStructure refused;
      refused.File = e.Path + e.Name;
      refused.Action = kActionRefused;
      actions->push_back(refused);
    } else if (!ignored) {
      const std::string dir = ctx_->base_folder + e.Path;
      const std::string local = dir + e.Name;
      switch (e.Flags) {
        case kFlagIfNotExist:
          if (is_dir) {
            if (DirectoryExists(dir) == 0) actions->push_back(DirectoryAction(dir, kActionCreateDir));
          } else if (FileExists(local) == 0) {
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
          } else if (FileExists(local) == 1) {
            UpdActionStructure a;
            a.File = local;
            a.Action = kActionDeleteFile;
            actions->push_back(a);
          }
          break;
        case kFlagRun:
          if (IsOutdated(e, local)) {
            actions->push_back(DownloadAction(e, local));
            unverified_runs_.insert(local);
          }
          run_list->push_back(local);
          break;
        default:  // only file entries reach here
          if (IsOutdated(e, local)) actions->push_back(DownloadAction(e, local));
          break;
      }
    }
    view_->SetProgressValue(i);
    view_->DrainEvents();
  }
  view_->SetProgressValue(static_cast<int>(manifest.size()));
  view_->DrainEvents();
  // A shortcut for the next start; a cache that cannot be written (a
  // read-only installation) only costs time.
  hashes().Save();
  return static_cast<int>(actions->size());
}

void Updater::ApplyUpdate() {
  outcome_.applied = true;
  downloader_.BindProgressText(kStatusText, kProgressTemplate);
  view_->SetFrameCaption(kStatusFrame, Text("FrameUpdate"));
  view_->SetProgressMaximum(action_count_);
  view_->SetProgressValue(0);
  view_->EnableButton(false);
  view_->DrainEvents();

  for (const UpdActionStructure& a : actions_) {
    switch (a.Action) {
      case kActionCreateDir:
        if (CreateDirectoryTree(a.Dir) == 0) ++outcome_.failures;
        log_ += "-> Create: " + a.Dir + "\n";
        break;
      case kActionDeleteDir:
        if (IsDirectoryEmpty(a.Dir) == 1) {
          std::string dir = a.Dir;
          while (dir.size() > 1 && fs::IsSeparator(dir.back())) dir.pop_back();
          if (fs::RemoveDir(dir)) {
            log_ += "-> Delete: " + a.Dir + "\n";
          } else {
            ++outcome_.failures;
          }
        }
        break;
      case kActionDeleteFile:
        if (FileExists(a.File) == 1) {
          if (fs::RemoveFile(a.File)) {
            log_ += "-> Delete: " + FilePart(a.File) + "\n";
          } else {
            ++outcome_.failures;  // read-only files stay, as on Windows
          }
        }
        break;
      case kActionDownload:
        if (!ReplaceFile(a)) ++outcome_.failures;
        break;
      default:  // refused
        log_ += "-> Update Error: " + a.File + "\n";
        ++outcome_.failures;
        break;
    }
    ++processed_;
    view_->SetProgressValue(processed_);
    view_->SetText(kCountText, std::to_string(action_count_ - processed_));
    remaining_ -= a.Size;
    SetSummary(true);
    view_->DrainEvents();
  }

  SetSummary(false);
  view_->SetText(kCountText, "---");
  view_->SetProgressValue(action_count_);
  view_->DrainEvents();

  if (!run_list_.empty()) {
    view_->SetText(kStatusText, Text("MsgProgram") + " .....");
    view_->DrainEvents();
    for (const std::string& program : run_list_) {
      if (FileExists(program) != 1) continue;
      // What is there is not what the signed manifest names: never run it.
      if (signature_required_ && unverified_runs_.count(program) != 0) {
        ++outcome_.failures;
        continue;
      }
      if (system_->RunProgramAndWait(program, FolderPart(program))) {
        log_ += "-> Run: " + FilePart(program) + "\n";
      } else {
        ++outcome_.failures;
      }
    }
  }
  log_ += "-------------------------\n";
  hashes().Save();
  WriteLog();
  view_->SetText(kStatusText, Text("MsgUpdate"));
  view_->DrainEvents();
  view_->EnableButton(false);
}

void Updater::WriteLog() {
  std::string text = "Update  (" + FormatDate(fs::NowDateValue(), true) + ")\r\n" + log_ + "\r\n";
  // A log that cannot be written is skipped without a word.
  fs::WriteFileAtomic(ctx_->data_folder + kLogFile, system_->LogEncoding(text));
}

bool Updater::FailFile(const char* key, const std::string& name, const std::string& dl,
                       const std::string& fresh) {
  fs::RemoveFile(dl);
  fs::RemoveFile(fresh);
  ShowFileMessage(key, name);
  log_ += "-> Update Error: " + name + "\n";
  return false;
}

// The installed file is touched only once its new version is complete and
// verified: the packed file is downloaded beside it with a running CRC-32,
// unpacked into a second temporary file, and that is moved over the installed
// file in one step. A kill at any moment leaves the old or the new version.
bool Updater::ReplaceFile(const UpdActionStructure& a) {
  const std::string name = FilePart(a.File);
  const std::string dl = a.File + kDownloadSuffix;
  const std::string fresh = a.File + kFreshSuffix;
  view_->SetText(kStatusText, name + " ( 0% )");
  const std::string folder = FolderPart(a.File);
  if (DirectoryExists(folder) == 0) CreateDirectoryTree(folder);

  fs::OutputFile out;
  if (!out.Create(dl)) return FailFile("ErrUpdate", name, dl, fresh);
  uint32_t crc = 0;
  bool stored = true;
  int64_t received = downloader_.StartDownloadTo(
      ctx_->config.URL + PercentEncode(a.Pack), a.File, kFlagResynchronize, kProgressText,
      kDefaultChunk, [&](std::string_view piece) {
        crc = Crc32(piece, crc);
        stored = out.Write(piece.data(), piece.size());
        return stored;
      });
  const bool closed = out.Close();
  if (!stored || (received > 0 && !closed)) return FailFile("ErrUpdate", name, dl, fresh);
  if (received <= 0 || crc != static_cast<uint32_t>(a.CRC)) {
    return FailFile("ErrDownload", name, dl, fresh);
  }

  // Both files are closed before either is removed: Windows cannot delete
  // an open file.
  UnpackStatus status = UnpackStatus::kReadFailed;
  bool written = false;
  Sha256 content_hash;
  const int64_t since = fs::ClockNowNs();
  {
    fs::InputFile in;
    fs::OutputFile result;
    const int64_t size = fs::FileSize(dl);
    if (size >= 0 && in.Open(dl) && result.Create(fresh)) {
      status = UnpackStream(
          [&in](char* buf, size_t cap) { return in.Read(buf, cap); },
          static_cast<uint64_t>(size), [&](std::string_view piece) {
            content_hash.Update(piece);
            return result.Write(piece.data(), piece.size());
          });
      written = result.Close();
    }
  }
  if (status != UnpackStatus::kOk || !written) return FailFile("ErrUpdate", name, dl, fresh);
  // The CRC-32 only says the download is the packed file the manifest names;
  // the hash says its content is the publisher's file.
  const std::string hex = content_hash.FinishHex();
  if (!a.SHA256.empty() && hex != a.SHA256) return FailFile("ErrUpdate", name, dl, fresh);
  fs::RemoveFile(dl);

  fs::SetFileDate(fresh, a.Date);
  // A read-only installed file could not be replaced; its new attributes
  // are set below anyway.
  const int32_t old_attr = fs::Attributes(a.File);
  if (old_attr > 0 && (old_attr & fs::kAttrReadOnly)) {
    fs::SetAttributes(a.File, old_attr & ~fs::kAttrReadOnly);
  }
  if (!fs::ReplaceWith(fresh, a.File)) {
    if (old_attr > 0) fs::SetAttributes(a.File, old_attr);
    return FailFile("ErrUpdate", name, dl, fresh);
  }
  fs::SetAttributes(a.File, a.Attrib);
  hashes().Record(CacheKey(a.File), hex, since);
  unverified_runs_.erase(a.File);
  // A backup left by an earlier run has served its time.
  if (FileExists(a.File + kBackupSuffix) == 1) fs::RemoveFile(a.File + kBackupSuffix);
  log_ += "-> " + name + " (" + SizeText(static_cast<float>(a.Size)) + ")\n";
  return true;
}

}  // namespace quasto::client
