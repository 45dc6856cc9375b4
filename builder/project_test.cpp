#include "builder/project.h"

#include <gtest/gtest.h>

#include "builder/generation.h"
#include "builder/test_env.h"
#include "shared/dates.h"
#include "shared/folders.h"
#include "shared/fs.h"
#include "shared/text.h"

namespace quasto {
namespace {

using testing::BuilderEnv;

TEST(Project, CreatingDemoWritesItsDocumentsAndRecentSlot) {
  BuilderEnv env;
  env.dir.Write("src\\app.exe", "MZ");
  env.ui.SetVersionText("stale");
  ASSERT_TRUE(env.Create("Demo"));
  EXPECT_EQ(env.st.current_project, "Demo.upf");
  EXPECT_EQ(env.ui.project_name(), "Demo");
  EXPECT_EQ(env.ui.VersionText(), "") << "a new project keeps the empty version";
  EXPECT_FALSE(env.ui.upload_enabled());
  EXPECT_EQ(env.st.recent[0], "Demo");
  EXPECT_EQ(env.ui.recent()[0], "Demo");
  EXPECT_EQ(env.ui.recent()[1], "-----");
  EXPECT_EQ(env.st.settings.Read("Intern", "Last", "Project", ""), "Demo.upf");
  EXPECT_EQ(FileExists(env.base() + "Projects\\Demo.upf"), 1);
  EXPECT_EQ(FileExists(env.base() + "Projects\\Demo\\Quastorell.ucf"), 1);
  ASSERT_EQ(env.ui.RowCount(), 1);
  EXPECT_TRUE(env.ui.Row(0).checked);

  env.ui.SetVersionText("1.2");
  env.ui.SetDateValue(DateValueFromCivil({2024, 3, 5, 10, 0, 0}));
  CloseProject(env.st, env.ui);
  EXPECT_EQ(env.st.current_project, "");
  EXPECT_EQ(env.dir.Read("base\\Projects\\Demo.upf"),
            "{\"Titel\": \"Demo\", \"Version\": \"1.2\", \"Date\": " +
                std::to_string(DateValueFromCivil({2024, 3, 5, 10, 0, 0})) +
                ", \"Source\": " + JsonString(env.src()) +
                ", \"Target\": \"\", \"FTPUpload\": 0, \"FTPDir\": \"\"}");
  EXPECT_EQ(env.st.client.ProjectId.size(), 32u) << "a new project's own identity";
  EXPECT_EQ(env.dir.Read("base\\Projects\\Demo\\Quastorell.ucf"),
            "{\"ProgInfo\": \"\", \"ProgExe\": \"\", \"Restart\": 0, \"Mutex\": \"\", "
            "\"URL\": \"http://example.invalid/upd/\", \"ProjectId\": \"" +
                env.st.client.ProjectId + "\"}");
  const std::string uif = env.dir.Read("base\\Projects\\Demo\\Quastorell.uif");
  EXPECT_EQ(uif.substr(0, 40), "{\"app.exe\": {\"Version\": \"\", \"VDate\": 0, ");
}

TEST(Project, DialogValidationAndCancel) {
  BuilderEnv env;
  env.ui.project_dialog = [&](ProjectDialog& d) {
    d.fields.name = "Demo";
    EXPECT_FALSE(d.Apply()) << "source missing";
    d.fields.source = env.src();
    d.fields.name = "";
    EXPECT_FALSE(d.Apply()) << "name missing";
    d.fields.name = "..\\evil";
    EXPECT_FALSE(d.Apply()) << "name leaves the projects folder";
    d.fields.name = "Demo.";
    EXPECT_FALSE(d.Apply()) << "Windows would drop the dot";
    return false;  // closed with the close box
  };
  EXPECT_FALSE(NewProject(env.st, env.ui));
  EXPECT_EQ(env.st.current_project, "");
  ASSERT_EQ(env.ui.messages.size(), 4u);
  EXPECT_EQ(env.ui.messages[0].caption, "Projekt - Einstellungen");
  EXPECT_EQ(env.ui.messages[0].text, "Die Eingaben sind unvollständig!");
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kWarning);
  EXPECT_EQ(env.ui.messages[1].text, "Die Eingaben sind unvollständig!");
  EXPECT_EQ(DirectoryExists(env.base() + "Projects\\"), 0) << "nothing written";
  EXPECT_EQ(DirectoryExists(env.dir / "evil"), 0);
}

TEST(Project, NamesThatNameNoFileOnSomePlatformAreRefusedOnAll) {
  for (const char* name : {"CON", "con", "Nul", "AUX.txt", "PRN", "COM1", "com9.x", "LPT1.x",
                           "lpt9", "CONIN$", "CON .txt", "Demo.", "Demo ", "a/b", "a\\b",
                           "x:y", "tab\tname", "\xFF\xFE"}) {
    EXPECT_FALSE(IsValidProjectName(name)) << EscapeControls(name);
  }
  for (const char* name : {"Demo", "CONSOLE", "COM10", "LPT", "NULL", "Con tools", ".profile",
                           "Caf\xC3\xA9 2.0"}) {
    EXPECT_EQ(ProjectNameProblem(name), "") << name;
  }
  EXPECT_EQ(ProjectNameProblem("LPT1.x"),
            "\"LPT1.x\" ist unter Windows ein Gerätename und kann kein Projektname sein.");
  EXPECT_EQ(ProjectNameProblem("Demo "),
            "Der Projektname darf nicht mit einem Punkt oder Leerzeichen enden.");
  EXPECT_EQ(ProjectNameProblem("a\\b"),
            "Der Projektname darf keines der Zeichen \\ / : * ? \" < > | enthalten.");
}

TEST(Project, TheDialogRefusesADeviceNameForNewAndConfiguredProjects) {
  BuilderEnv env;
  env.dir.Write("src\\app.exe", "MZ");
  env.ui.project_dialog = [&](ProjectDialog& d) {
    d.fields.source = env.src();
    d.fields.name = "CON";
    return d.Apply();
  };
  EXPECT_FALSE(NewProject(env.st, env.ui));
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].caption, "Projekt - Einstellungen");
  EXPECT_EQ(env.ui.messages[0].text,
            "\"CON\" ist unter Windows ein Gerätename und kann kein Projektname sein.");
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kWarning);
  EXPECT_EQ(DirectoryExists(env.base() + "Projects\\"), 0) << "nothing written";

  // The title names the default target folder, so a configured one too.
  ASSERT_TRUE(env.Create("Demo"));
  env.ui.project_dialog = [&](ProjectDialog& d) {
    d.fields.name = "nul.txt";
    return d.Apply();
  };
  ConfigureProject(env.st, env.ui);
  EXPECT_EQ(env.st.project.Titel, "Demo");
  EXPECT_EQ(env.ui.messages.back().text,
            "\"nul.txt\" ist unter Windows ein Gerätename und kann kein Projektname sein.");
}

TEST(Project, NewProjectRefusesTheNameOfAnExistingOne) {
  BuilderEnv env;
  env.dir.Write("src\\app.exe", "MZ");
  ASSERT_TRUE(env.Create("Demo", true));
  env.ui.SelectRow(0);
  SetRule(env.st, env.ui, kFlagDelete);
  CloseProject(env.st, env.ui);
  const std::string upf = env.dir.Read("base\\Projects\\Demo.upf");
  const std::string ucf = env.dir.Read("base\\Projects\\Demo\\Quastorell.ucf");
  const std::string uif = env.dir.Read("base\\Projects\\Demo\\Quastorell.uif");
  ASSERT_NE(uif.find("\"Flags\": 4"), std::string::npos);

  int attempts = 0;
  env.ui.project_dialog = [&](ProjectDialog& d) {
    d.fields.source = env.dir / "other\\";
    for (const char* name : {"Demo", "DEMO", "demo"}) {
      d.fields.name = name;
      EXPECT_FALSE(d.Apply()) << name;
      ++attempts;
    }
    return false;  // the user gives up with the close box
  };
  EXPECT_FALSE(NewProject(env.st, env.ui));
  EXPECT_EQ(attempts, 3);
  EXPECT_EQ(env.st.current_project, "");
  ASSERT_EQ(env.ui.messages.size(), 3u);
  EXPECT_EQ(env.ui.messages[0].caption, "Projekt - Einstellungen");
  EXPECT_EQ(env.ui.messages[0].text,
            "Ein Projekt mit dem Namen \"Demo\" existiert bereits. Bitte wählen Sie einen "
            "anderen Namen!");
  EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kWarning);
  EXPECT_EQ(env.ui.messages[1].text.substr(0, 32), "Ein Projekt mit dem Namen \"DEMO\"");
  EXPECT_EQ(env.dir.Read("base\\Projects\\Demo.upf"), upf);
  EXPECT_EQ(env.dir.Read("base\\Projects\\Demo\\Quastorell.ucf"), ucf);
  EXPECT_EQ(env.dir.Read("base\\Projects\\Demo\\Quastorell.uif"), uif);

  // Another name goes through; renaming the open project keeps being allowed.
  ASSERT_TRUE(env.Create("Demo2"));
  env.ui.project_dialog = [&](ProjectDialog& d) {
    d.fields.name = "Demo";
    return d.Apply();
  };
  ConfigureProject(env.st, env.ui);
  EXPECT_EQ(env.st.project.Titel, "Demo");
  EXPECT_EQ(env.st.current_project, "Demo2.upf");
  EXPECT_EQ(env.dir.Read("base\\Projects\\Demo.upf"), upf);
}

TEST(Project, RecentProjectsSequence) {
  BuilderState st;
  UpdateRecentProjects(st, "Alpha.upf");
  UpdateRecentProjects(st, "Beta.upf");
  UpdateRecentProjects(st, "Alpha.upf");
  EXPECT_EQ(st.recent, (std::array<std::string, 3>{"Alpha", "Beta", ""}));
  UpdateRecentProjects(st, "Gamma.upf");
  EXPECT_EQ(st.recent, (std::array<std::string, 3>{"Gamma", "Alpha", "Beta"}));
  UpdateRecentProjects(st, "Beta.upf");
  EXPECT_EQ(st.recent, (std::array<std::string, 3>{"Beta", "Gamma", "Alpha"}));
  UpdateRecentProjects(st, "Beta.upf");
  EXPECT_EQ(st.recent, (std::array<std::string, 3>{"Beta", "Gamma", "Alpha"}));
  UpdateRecentProjects(st, "Delta.upf");
  EXPECT_EQ(st.recent, (std::array<std::string, 3>{"Delta", "Beta", "Gamma"}));
  UpdateRecentProjects(st, "delta.upf");  // case matters
  EXPECT_EQ(st.recent, (std::array<std::string, 3>{"delta", "Delta", "Beta"}));
}

TEST(Project, RecentProjectsSurviveARestart) {
  BuilderEnv env;
  ASSERT_TRUE(env.Create("Alpha"));
  ASSERT_TRUE(env.Create("Beta"));
  ShutdownBuilder(env.st, env.ui, {});
  BuilderState st;
  RecordingUi ui;
  StartBuilder(st, ui, env.base());
  EXPECT_EQ(ui.recent(), (std::array<std::string, 3>{"Beta", "Alpha", "-----"}));
  // Open recent slot 2 = Alpha; the window shows its record.
  ASSERT_TRUE(OpenRecentProject(st, ui, 2));
  EXPECT_EQ(st.current_project, "Alpha.upf");
  EXPECT_EQ(ui.project_name(), "Alpha");
  EXPECT_EQ(st.recent[0], "Alpha");
  // An empty slot closes the open project and opens none.
  EXPECT_FALSE(OpenRecentProject(st, ui, 3));
  EXPECT_EQ(st.current_project, "");
}

TEST(Project, OpenReadsFromProjectsFolderWhateverFolderWasChosen) {
  BuilderEnv env;
  ASSERT_TRUE(env.Create("Demo"));
  CloseProject(env.st, env.ui);
  env.ui.file_answer = env.dir / "elsewhere\\Demo.upf";
  ASSERT_TRUE(OpenProject(env.st, env.ui));
  EXPECT_EQ(env.st.current_project, "Demo.upf");
  ASSERT_EQ(env.ui.pickers.size(), 1u);
  EXPECT_EQ(env.ui.pickers[0], "Bitte Projekt zum Laden auswählen @ " + env.base() +
                                   "Projects\\ | Projekt (*.upf)|*.upf");
  // An unreadable project document opens nothing, and closing afterwards
  // must not write Demo's records over it.
  env.dir.Write("base\\Projects\\Broken.upf", "{not json");
  env.ui.file_answer = env.dir / "Broken.upf";
  EXPECT_FALSE(OpenProject(env.st, env.ui));
  EXPECT_EQ(env.st.current_project, "");
  EXPECT_EQ(env.st.settings.Read("Intern", "Last", "Project", ""), "Broken.upf");
  CloseProject(env.st, env.ui);
  EXPECT_EQ(env.dir.Read("base\\Projects\\Broken.upf"), "{not json");
  EXPECT_EQ(DirectoryExists(env.base() + "Projects\\Broken\\"), 0);
  env.ui.file_answer.reset();
  EXPECT_FALSE(OpenProject(env.st, env.ui));
}

TEST(Project, RenamingKeepsFileNameAndConfigureNeedsAProject) {
  BuilderEnv env;
  ConfigureProject(env.st, env.ui);
  ASSERT_EQ(env.ui.messages.size(), 1u);
  EXPECT_EQ(env.ui.messages[0].caption, "Projekt konfigurieren");
  EXPECT_EQ(env.ui.messages[0].text, "Es ist kein Projekt geöffnet.");
  ASSERT_TRUE(env.Create("Demo", true));
  env.ui.project_dialog = [&](ProjectDialog& d) {
    EXPECT_EQ(d.fields.name, "Demo");
    EXPECT_TRUE(d.fields.ftp);
    EXPECT_EQ(d.fields.ftp_dir, "Demo");
    d.fields.name = "Renamed";
    d.fields.restart = true;
    return d.Apply();
  };
  ConfigureProject(env.st, env.ui);
  EXPECT_EQ(env.st.current_project, "Demo.upf");
  EXPECT_EQ(env.st.project.Titel, "Renamed");
  EXPECT_EQ(env.st.recent[0], "Demo");
  ProjectStructure p;
  ASSERT_TRUE(LoadDocument(env.base() + "Projects\\Demo.upf", &p));
  EXPECT_EQ(p.Titel, "Renamed");
  EXPECT_EQ(FileExists(env.base() + "Projects\\Renamed.upf"), 0);
}

TEST(Project, ProgramPickerMakesThePathRelativeToTheSource) {
  testing::TempDir dir;
  const std::string rel = dir / "Rel\\";
  fs::MakeDirectory(rel);
  EXPECT_EQ(ProgramFieldText(rel, rel + "bin\\app.exe"), "bin\\app.exe");
  EXPECT_EQ(ProgramFieldText(dir / "Missing\\", rel + "bin\\app.exe"), "app.exe");
  EXPECT_EQ(ProgramFieldText("", "D:\\Rel\\bin\\app.exe"), "D:\\Rel\\bin\\app.exe");

  BuilderEnv env;
  env.ui.file_answer = env.src() + "bin\\app.exe";
  env.ui.folder_answer = env.src();
  env.ui.project_dialog = [&](ProjectDialog& d) {
    d.PickSource();
    d.PickProgram();
    EXPECT_EQ(d.fields.prog_exe, "bin\\app.exe");
    env.ui.folder_answer = env.dir / "T\\";
    d.PickTarget();
    EXPECT_EQ(d.fields.target, env.dir / "T\\");
    return false;
  };
  NewProject(env.st, env.ui);
  EXPECT_EQ(env.st.settings.Read("Intern", "Last", "Source", ""), env.src());
  EXPECT_EQ(env.st.settings.Read("Intern", "Last", "Target", ""), env.dir / "T\\");
  ASSERT_EQ(env.ui.pickers.size(), 3u);
  EXPECT_EQ(env.ui.pickers[0],
            "Bitte wählen Sie das Quellverzeichnis mit dem Projekt aus! @ C:\\");
  EXPECT_EQ(env.ui.pickers[1],
            "Bitte wählen Sie die ausführbare Datei aus! @ " + env.src() + " | *.exe");
}

TEST(Project, ShutdownWritesDocumentsStoreAndFtpSettings) {
  BuilderEnv env;
  ASSERT_TRUE(env.Create("Demo"));
  env.ui.SetVersionText("9");
  env.st.ftp.Server = "ftp.example";
  ShutdownBuilder(env.st, env.ui, {});
  ProjectStructure p;
  ASSERT_TRUE(LoadDocument(env.base() + "Projects\\Demo.upf", &p));
  EXPECT_EQ(p.Version, "9");
  EXPECT_EQ(env.dir.Read("base\\Quastorell.cfg"),
            "{\"Server\": \"ftp.example\", \"Port\": 0, \"StartDir\": \"\", \"Login\": \"\", "
            "\"Password\": \"\"}");
  EXPECT_EQ(env.dir.Read("base\\Quastorell.reg"),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Registry>\n  <Intern>\n    <Last>\n"
            "      <Project>Demo.upf</Project>\n      <Project1>Demo</Project1>\n"
            "      <Project2/>\n      <Project3/>\n    </Last>\n  </Intern>\n</Registry>\n");
}

// A document that is there but cannot be read stops the open with a message
// naming it, and nothing ever writes over it; one that is missing is a fresh
// start.
TEST(Project, DamagedDocumentsStopTheOpenAndAreNeverOverwritten) {
  BuilderEnv env;
  env.dir.Write("src\\app.exe", "MZ");
  env.dir.Write("src\\cfg.ini", "a=1");
  ASSERT_TRUE(env.Create("Demo"));
  env.ui.SelectRow(0);
  ASSERT_TRUE(SetRule(env.st, env.ui, kFlagIfNotExist));
  CloseProject(env.st, env.ui);
  const std::string folder = "base\\Projects\\Demo\\";
  struct Case {
    std::string rel;
    std::string damaged;
  };
  const std::string uif = env.dir.Read(folder + "Quastorell.uif");
  const std::string ucf = env.dir.Read(folder + "Quastorell.ucf");
  const std::string upf = env.dir.Read("base\\Projects\\Demo.upf");
  const Case cases[] = {
      {folder + "Quastorell.uif", uif.substr(0, uif.size() - 1)},  // one byte removed
      {folder + "Quastorell.uif", uif.substr(0, uif.find(':')) + uif.substr(uif.find(':') + 1)},
      {folder + "Quastorell.uif", uif.substr(0, uif.size() / 2)},  // truncated
      {folder + "Quastorell.uif", ""},
      {folder + "Quastorell.uif", "[]"},                                // not an object
      {folder + "Quastorell.ucf", ucf.substr(0, ucf.size() - 1)},
      {"base\\Projects\\Demo.upf", upf.substr(1)},
      // Nested far deeper than any document: read without recursion.
      {folder + "Quastorell.uif", std::string(200000, '[') + std::string(200000, ']')},
  };
  for (const Case& c : cases) {
    const std::string good = env.dir.Read(c.rel);
    env.dir.Write(c.rel, c.damaged);
    env.ui.messages.clear();
    EXPECT_FALSE(OpenProjectNamed(env.st, env.ui, "Demo.upf")) << c.rel;
    EXPECT_EQ(env.st.current_project, "");
    ASSERT_EQ(env.ui.messages.size(), 1u) << c.rel;
    EXPECT_EQ(env.ui.messages[0].caption, "Projekt öffnen");
    EXPECT_EQ(env.ui.messages[0].text,
              "Die Datei \"" + fs::NativePath(env.dir / c.rel) +
                  "\" des Projekts \"Demo\" ist beschädigt und kann nicht gelesen werden.\n"
                  "Das Projekt wird nicht geöffnet; die Datei bleibt unverändert.");
    EXPECT_EQ(env.ui.messages[0].icon, MessageIcon::kError);
    // Neither a close nor the end of the builder writes it.
    CloseProject(env.st, env.ui);
    EXPECT_EQ(env.dir.Read(c.rel), c.damaged) << c.rel;
    env.dir.Write(c.rel, good);
  }
  ShutdownBuilder(env.st, env.ui, {});
  EXPECT_EQ(env.dir.Read(folder + "Quastorell.uif"), uif);

  // Missing ones: a project without a configuration or manifest yet.
  fs::RemoveFile(env.dir / (folder + "Quastorell.uif"));
  fs::RemoveFile(env.dir / (folder + "Quastorell.ucf"));
  env.st.client.URL = "http://another.project.invalid/";
  ASSERT_TRUE(OpenProjectNamed(env.st, env.ui, "Demo.upf"));
  EXPECT_EQ(env.st.client, UpdaterStructure()) << "nothing of another project's is taken over";
  EXPECT_EQ(env.ui.Row(0).checked + env.ui.Row(1).checked, 2) << "every file is new";
}

// Two builders on one project: the second is told who holds it and changes
// nothing, until the first lets go.
TEST(Project, SecondBuilderFindsTheProjectInUse) {
  BuilderEnv first;
  first.dir.Write("src\\app.exe", "MZ");
  first.st.program = "QuastorellBuilder.exe";
  ASSERT_TRUE(first.Create("Demo"));
  first.ui.SetVersionText("1.0");
  const std::string upf = first.dir.Read("base\\Projects\\Demo.upf");

  BuilderState st;
  RecordingUi ui;
  StartBuilder(st, ui, first.base());
  st.program = "quastorell-builder generate";
  EXPECT_EQ(OpenProjectFile(st, ui, "Demo.upf"), OpenOutcome::kInUse);
  EXPECT_TRUE(st.project_in_use);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].caption, "Projekt öffnen");
  EXPECT_EQ(ui.messages[0].text,
            "Das Projekt \"Demo\" wird gerade von einem anderen Programm bearbeitet: "
            "QuastorellBuilder.exe (Prozess " + std::to_string(fs::ProcessId()) +
                ").\nEs wurde nichts geändert.");
  EXPECT_EQ(st.current_project, "");
  // A new project of that name cannot slip in either.
  fs::RemoveFile(first.base() + "Projects\\Demo.upf");
  ui.project_dialog = [&](ProjectDialog& d) {
    d.fields.name = "Demo";
    d.fields.source = first.src();
    return d.Apply();
  };
  EXPECT_FALSE(NewProject(st, ui));
  EXPECT_EQ(ui.messages.back().caption, "Projekt - Einstellungen");
  EXPECT_EQ(FileExists(first.base() + "Projects\\Demo.upf"), 0);
  ShutdownBuilder(st, ui, {});

  ASSERT_TRUE(CloseProject(first.st, first.ui));
  EXPECT_NE(first.dir.Read("base\\Projects\\Demo.upf"), upf) << "the first one's version";
  EXPECT_EQ(FileExists(first.base() + "Projects\\Demo\\Quastorell.owner"), 0);
  EXPECT_EQ(OpenProjectFile(st, ui, "Demo.upf"), OpenOutcome::kOpened);
  EXPECT_EQ(first.dir.Read("base\\Projects\\Demo\\Quastorell.owner"),
            "quastorell-builder generate (Prozess " + std::to_string(fs::ProcessId()) + ")");
  EXPECT_EQ(OpenProjectFile(first.st, first.ui, "Demo.upf"), OpenOutcome::kInUse);
}

// A killed builder's half-saved settings go at a later start; one that
// another builder is saving right now stays.
TEST(Start, StaleTemporariesOfTheSettingsGo) {
  BuilderEnv env;
  for (const char* f : {"Quastorell.reg.tmp~old1", "Quastorell.cfg.tmp~old2", "Quastorell.reg.tmp~now",
                        "notes.tmp~old"}) {
    env.dir.Write(std::string("base\\") + f, "x");
  }
  for (const char* f : {"Quastorell.reg.tmp~old1", "Quastorell.cfg.tmp~old2", "notes.tmp~old"}) {
    fs::SetFileDate(env.base() + f, fs::NowDateValue() - 2 * kStaleTemporarySeconds);
  }
  BuilderState st;
  RecordingUi ui;
  StartBuilder(st, ui, env.base());
  EXPECT_EQ(FileExists(env.base() + "Quastorell.reg.tmp~old1"), 0);
  EXPECT_EQ(FileExists(env.base() + "Quastorell.cfg.tmp~old2"), 0);
  EXPECT_EQ(FileExists(env.base() + "Quastorell.reg.tmp~now"), 1) << "being saved";
  EXPECT_EQ(FileExists(env.base() + "notes.tmp~old"), 1) << "not the builder's";
}

TEST(Commands, MenuIdsReachTheirActions) {
  BuilderEnv env;
  env.dir.Write("src\\a.txt", "a");
  HandleCommand(env.st, env.ui, kCmdConfigureProject);
  ASSERT_EQ(env.ui.messages.size(), 1u) << "no project open";
  env.ui.project_dialog = [&](ProjectDialog& d) {
    d.fields.name = "Demo";
    d.fields.source = env.src();
    return d.Apply();
  };
  HandleCommand(env.st, env.ui, kCmdNewProject);
  ASSERT_EQ(env.st.current_project, "Demo.upf");
  env.ui.SelectRow(0);
  const std::pair<int, const char*> rules[] = {{kCmdRuleIfNotExist, "IfNotExist"},
                                               {kCmdRuleNoUpdate, "NoUpdate"},
                                               {kCmdRuleDelete, "Delete"},
                                               {kCmdRuleNormal, "-----"}};
  for (const auto& [id, label] : rules) {
    HandleCommand(env.st, env.ui, id);
    EXPECT_EQ(env.ui.Row(0).rule, label) << id;
  }
  HandleCommand(env.st, env.ui, 99);  // ignored
  HandleCommand(env.st, env.ui, kCmdRecent1);
  EXPECT_EQ(env.st.current_project, "Demo.upf") << "reopened from slot 1";
  HandleCommand(env.st, env.ui, kCmdRecent2);
  EXPECT_EQ(env.st.current_project, "") << "empty slot: nothing open";
}

}  // namespace
}  // namespace quasto
