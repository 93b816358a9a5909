#pragma once

namespace lumbra::ui {

// Shows the About window modally centred on the screen.
void RunAboutDialog();

}  // namespace lumbra::ui
