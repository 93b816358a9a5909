#include "ui/qt/MainView.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QLabel>
#include <QSystemTrayIcon>
#include <filesystem>
#include <map>

#include "platform/fake/FakeDesktop.h"
#include "platform/fake/FakeMessageLoop.h"

namespace lumbra::ui {
namespace {

namespace fs = std::filesystem;

// Qt keeps a copy of every picture it paints for an icon in its pixmap cache,
// under the picture's identity. The view must hand the same picture for the
// same status image every time; a picture drawn anew at each change leaves
// one more copy in the cache per change, three per badge on a reader that
// reports the badge going in and out, all day long.
TEST(MainViewTest, StatusChangesReuseOnePicturePerImage) {
  platform::FakeMessageLoop loop;
  loop.Install();
  platform::FakeDesktop desktop;
  const fs::path dir = fs::temp_directory_path() / ("lumbra-view-" + std::to_string(::getpid()));
  desktop.environment.exePath = (dir / "lumbra").string();
  desktop.environment.configDir = (dir / "config").string();
  {
    Owned<app::TTkEmuTasMain> model(new app::TTkEmuTasMain(app::TAppServices{}));
    MainView view(*model);
    model->OnStateChanged = [&view] { view.Refresh(); };
    auto* label = view.findChild<QLabel*>("ImgTes");
    ASSERT_NE(label, nullptr);

    std::map<int, qint64> trayKey, labelKey;
    for (int badge = 0; badge < 20; ++badge) {
      // Half in, in, out: what such a reader reports for every badge.
      for (int status : {3, 2, 1}) {
        model->BadgeReaderChangedBadgeStatus(nullptr, status);
        const int image = model->StatusImage();
        const qint64 tray = view.Tray().icon().cacheKey();
        const qint64 picture = label->pixmap().cacheKey();
        if (badge == 0) {
          trayKey[image] = tray;
          labelKey[image] = picture;
        }
        ASSERT_EQ(trayKey[image], tray) << "badge " << badge << ", image " << image;
        ASSERT_EQ(labelKey[image], picture) << "badge " << badge << ", image " << image;
      }
    }
    // Three images, each with a picture of its own.
    ASSERT_EQ(trayKey.size(), 3u);
    EXPECT_NE(trayKey[app::imgBadgeHalf], trayKey[app::imgBadgeIn]);
    EXPECT_NE(trayKey[app::imgBadgeIn], trayKey[app::imgReaderOk]);
    model->OnStateChanged = nullptr;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace lumbra::ui
