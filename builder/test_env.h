// Helpers shared by the builder's tests: a base folder and a source folder in
// a temporary directory, and a started builder state on them.
#ifndef QUASTO_BUILDER_TEST_ENV_H_
#define QUASTO_BUILDER_TEST_ENV_H_

#include <string>

#include "builder/builder_app.h"
#include "builder/project.h"
#include "builder/recording_ui.h"
#include "shared/fs.h"
#include "shared/test_util.h"

namespace quasto::testing {

struct BuilderEnv {
  TempDir dir;
  BuilderState st;
  RecordingUi ui;

  BuilderEnv() {
    fs::MakeDirectory(dir / "base");
    fs::MakeDirectory(dir / "src");
    StartBuilder(st, ui, base());
  }
  std::string base() const { return dir / "base\\"; }
  std::string src() const { return dir / "src\\"; }

  // Creates a project through the dialog, as "Neue Projekt" + "Übernehmen".
  bool Create(const std::string& name, bool ftp = false) {
    ui.project_dialog = [&](ProjectDialog& d) {
      d.fields.name = name;
      d.fields.source = src();
      d.fields.url = "http://example.invalid/upd/";
      d.fields.ftp = ftp;
      d.fields.ftp_dir = ftp ? name : "";
      return d.Apply();
    };
    return NewProject(st, ui);
  }
};

}  // namespace quasto::testing

#endif  // QUASTO_BUILDER_TEST_ENV_H_
