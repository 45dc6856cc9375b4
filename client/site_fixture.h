// What the in-process tests of an update run share: an installation and a
// site in temporary folders, the test web server over the site, the client's
// context for the installation, and a view that presses the button once.
#ifndef QUASTO_CLIENT_SITE_FIXTURE_H_
#define QUASTO_CLIENT_SITE_FIXTURE_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/http.h"
#include "client/recording_view.h"
#include "client/system.h"
#include "client/test_site.h"
#include "client/updater.h"
#include "shared/dates.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/test_util.h"
#include "tests/support/server_process.h"

namespace quasto::client {

// The installed files' date, and the published ones'.
inline const int32_t kOld = DateValueFromCivil({2021, 3, 4, 5, 6, 7});
inline const int32_t kNew = DateValueFromCivil({2025, 8, 9, 10, 11, 12});

class SiteFixture : public ::testing::Test {
 protected:
  SiteFixture()
      : server_("http_server.py", {"--root", site_.path()}),
        transport_(NewHttpTransport()),
        system_(NewClientSystem()) {
    ctx_.base_folder = install_.path();
    ctx_.data_folder = install_ / "Quasto\\";
    CreateDirectoryTree(ctx_.data_folder);
    ctx_.language.SetDefaultTexts();
    ctx_.config.URL = server_.http_url();
    ctx_.config.ProgInfo = "Tool 2.0";
  }

  // Runs the update with `view_`, which presses the button once.
  void RunWithButton() {
    view_.events = {ViewEvent::kNone, ViewEvent::kButton, ViewEvent::kCloseWindow};
    Updater updater(&ctx_, &view_, transport_.get(), system_.get());
    updater.RunUpdate(ctx_.config.ProgInfo);
    outcome_ = updater.outcome();
  }

  std::string Log() { return install_.Read("Quasto\\Quastorell.log"); }
  // The client's temporaries left in the installation's folder `rel`.
  std::vector<std::string> Leftovers(const std::string& rel = "") {
    std::vector<fs::DirEntry> entries;
    fs::ListDirectory(rel.empty() ? install_.path() : install_ / rel, &entries);
    std::vector<std::string> odd;
    for (const auto& e : entries) {
      if (e.name.find(".~q") != std::string::npos) odd.push_back(e.name);
    }
    return odd;
  }

  testing::TempDir site_, install_;
  testing::ServerProcess server_;
  std::unique_ptr<HttpTransport> transport_;
  std::unique_ptr<ClientSystem> system_;
  ClientContext ctx_;
  RecordingView view_;
  Manifest manifest_;
  Updater::Outcome outcome_;
};

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_SITE_FIXTURE_H_
