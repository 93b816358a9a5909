#include "app/About.h"

#include <gtest/gtest.h>

#include <vector>

#include "app/UEmuTas.h"
#include "app/uRCLocalize.h"

namespace lumbra::app {
namespace {

TEST(AboutWindow, ShowsTheBuildsVersionsApartFromTheMainWindowCaption) {
  TfmAbout about;
  EXPECT_EQ(about.Controls["lbVer"].Caption(), "1.5");
  about.FormShow();
  EXPECT_EQ(about.Controls["lbVer"].Caption(), "1.8");
  EXPECT_EQ(about.Controls["lbBuild"].Caption(), "Build (1.8.0.0)");
  EXPECT_STREQ(kVersionWord, "1.6");
  EXPECT_EQ(GetVersionString("CompanyName"), "");
}

TEST(AboutWindow, EscapeClosesLikeOkAndOtherKeysDoNot) {
  TfmAbout about;
  about.FormShow();
  about.FormKeyPress('a');
  about.FormKeyPress('\r');
  EXPECT_EQ(about.ModalResult(), TModalResult::None);
  about.FormKeyPress(27);
  EXPECT_EQ(about.ModalResult(), TModalResult::Ok);

  about.FormShow();  // shown again: not closed yet
  EXPECT_EQ(about.ModalResult(), TModalResult::None);
  about.Controls["XiButton4"].UserClick();
  EXPECT_EQ(about.ModalResult(), TModalResult::Ok);
}

TEST(AboutWindow, MakerLabelsOpenTheWebSiteAndAMail) {
  std::vector<std::string> opened;
  TfmAbout about([&](const std::string& a) { opened.push_back(a); });
  about.Controls["Label3"].UserClick();
  about.Controls["Label6"].UserClick();
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0].rfind("https://", 0), 0u) << opened[0];
  EXPECT_EQ(opened[1], std::string("mailto:") + about.Controls["Label6"].Caption());
  EXPECT_EQ(about.Controls["Label3"].Hint(), "Visita il nostro sito web");
}

TEST(AboutWindow, ComesInTheCurrentLanguageWithItsHints) {
  TRCLocalizeManager manager(LUMBRA_LANG_DIR);
  SetLocalizeManager(&manager);
  struct Case {
    int language;
    const char *caption, *by, *webHint, *mailHint;
  } cases[] = {
      {0, "About", "developed by", "Visit our web site", "Send an e-mail to Tavik Technologies"},
      {2, "Acerca de", "desarrollado por", "Visite nuestro sitio web",
       "Envíe un correo electrónico a Tavik Technologies"},
  };
  for (const Case& c : cases) {
    SelectLanguage(c.language);
    TfmAbout about;
    about.FormCreate();
    about.FormShow();
    EXPECT_EQ(about.Form().Caption(), c.caption);
    EXPECT_EQ(about.Controls["Label1"].Caption(), c.by);
    EXPECT_EQ(about.Controls["Label3"].Hint(), c.webHint);
    EXPECT_EQ(about.Controls["Label6"].Hint(), c.mailHint);
    EXPECT_EQ(about.Controls["lbBuild"].Caption(), "Build (1.8.0.0)");  // the build's, not the table's
  }
  SetLocalizeManager(nullptr);
}

}  // namespace
}  // namespace lumbra::app
