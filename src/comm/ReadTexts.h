#pragma once
// The badge text of each read travels beside its WM_TESSERA_READ message.
//
// A protocol may decode the next badge before the driver's window has handled
// the read message of the one before (two frames in one received block, a UI
// thread busy typing or showing a message box), so the text is taken when the
// read is posted and queued per window in posting order; the window takes one
// text for each read message it handles. A protocol freed in between changes
// nothing: the texts of its reads are already here.
#include <optional>

#include "base/Text.h"
#include "platform/MessageLoop.h"

namespace lumbra {

// Posts WM_TESSERA_READ (WParam id, LParam trDataReady) to owner with text as
// the badge of that read. False, and nothing kept, when the post fails. Any
// thread; reads posted from several threads keep their texts in the order
// their messages arrive.
bool PostTesseraRead(platform::HWND owner, platform::WPARAM id, const AnsiString& text);

// The text of the oldest read posted to owner that is not taken yet; none
// when no read with a text is waiting (a read posted without one). UI thread,
// once for each data-ready read message handled.
std::optional<AnsiString> TakeTesseraRead(platform::HWND owner);

// Forgets the texts still waiting for a window that goes away (its queued
// messages are dropped with it).
void DropTesseraReads(platform::HWND owner);

}  // namespace lumbra
