#include "platform/resource_script_posix.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/bench_process.h"

namespace {

using testing_support::TempDir;

// Loads `script` as the resource module and returns its template 103.
platform::DialogTemplate Template103(const TempDir& dir, const std::string& script) {
  setenv("TAPCAL_DISPRESOURCES", dir.Write("DispResources.rc", script).c_str(), 1);
  platform::ResourceModule* module = platform::LoadResourceModule("DispResources");
  EXPECT_NE(module, nullptr);
  platform::DialogTemplate dialog = platform::FindDialogTemplate(module, 103);
  platform::FreeResourceModule(module);
  return dialog;
}

TEST(ResourceScript, TheShippedTemplateIsACaptionedResizableWindow) {
  setenv("TAPCAL_DISPRESOURCES",
         testing_support::SourcePath("src/liveview/DispResources.rc").c_str(), 1);
  platform::ResourceModule* module = platform::LoadResourceModule("DispResources");
  ASSERT_NE(module, nullptr);
  platform::DialogTemplate dialog = platform::FindDialogTemplate(module, 103);
  EXPECT_EQ(dialog.caption, "Camera live view");
  EXPECT_TRUE(dialog.captioned);
  EXPECT_TRUE(dialog.resizable);
  platform::FreeResourceModule(module);
}

TEST(ResourceScript, TemplatesAreReadAsTheResourceCompilerReadsThem) {
  TempDir dir;
  struct Case {
    const char* what;
    std::string script;
    std::string caption;
    bool captioned, resizable;
  } cases[] = {
      {"the right template among others, CRLF, doubled quotes, NOT",
       "#include <windows.h>\r\n"
       "STRINGTABLE\r\nBEGIN\r\n  1 \"CAPTION\"\r\nEND\r\n"
       "101 DIALOGEX 0, 0, 10, 10\r\nCAPTION \"Wrong one\"\r\nBEGIN\r\nEND\r\n"
       "103 DIALOGEX 0, 0, 320, 240 // the live view\r\n"
       "STYLE WS_POPUP | WS_CAPTION | WS_THICKFRAME | NOT WS_THICKFRAME\r\n"
       "CAPTION \"Bench \"\"live\"\" view\"\r\n"
       "BEGIN\r\n  LTEXT \"CAPTION\", -1, 0, 0, 5, 5\r\nEND\r\n",
       "Bench \"live\" view", true, false},
      {"no STYLE and no CAPTION: a bare popup", "103 DIALOG 0, 0, 10, 10\nBEGIN\nEND\n", "", false,
       false},
      {"CAPTION adds the title bar", "103 DIALOG 0, 0, 10, 10\nSTYLE WS_POPUP\nCAPTION \"A\"\n",
       "A", true, false},
      {"a numeric style", "103 DIALOG 0, 0, 10, 10\nSTYLE 0x80C40000\n", "", true, true},
      {"template 103 missing: the defaults", "101 DIALOG 0, 0, 10, 10\nCAPTION \"B\"\n",
       "Camera live view", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::DialogTemplate dialog = Template103(dir, c.script);
    EXPECT_EQ(dialog.caption, c.caption);
    EXPECT_EQ(dialog.captioned, c.captioned);
    EXPECT_EQ(dialog.resizable, c.resizable);
  }
}

TEST(ResourceScript, MissingModuleGivesNoneAndTheDefaultTemplate) {
  TempDir dir;
  setenv("TAPCAL_DISPRESOURCES", dir.File("nowhere.rc").c_str(), 1);
  platform::ResourceModule* module = platform::LoadResourceModule("DispResources");
  EXPECT_EQ(module, nullptr);
  platform::DialogTemplate dialog = platform::FindDialogTemplate(module, 103);
  EXPECT_EQ(dialog.caption, "Camera live view");
  EXPECT_TRUE(dialog.captioned);
  EXPECT_TRUE(dialog.resizable);
}

}  // namespace
