// The progress window as the client's logic sees it. The logic knows its
// controls only by number; the Win32 window, the console and the tests'
// recorder each implement this.
//
// Texts are UTF-8; an implementation converts them to what it shows.
#ifndef QUASTO_CLIENT_VIEW_H_
#define QUASTO_CLIENT_VIEW_H_

#include <cstdint>
#include <string>

namespace quasto::client {

// Control numbers of window 1.
enum Control : int {
  kCountText = 4,    // number of files to update
  kSummaryText = 5,  // "Files2Upd" and the remaining size
  kTopFrame = 6,
  kStatusText = 7,   // status line and download progress
  kProgressBar = 8,
  kStatusFrame = 9,  // frame around 7 and 8
  kUpdateButton = 10,
};

// Message box icons.
enum Icon : int {
  kIconError = 0x10,
  kIconWarning = 0x30,
  kIconInformation = 0x40,
};

// Notifications a download posts to the event queue; the loops drop them.
enum Notification : int {
  kDownloadStarted = 0x40000,
  kDownloadProgress = 0x40001,
  kDownloadEnded = 0x40002,
};

enum class ViewEvent {
  kNone,         // timeout or an event the loop ignores
  kButton,       // control 10 was pressed
  kCloseWindow,  // the user closed window 1
};

class ClientView {
 public:
  virtual ~ClientView() = default;

  // Builds window 1 with the title (an empty one gives "Quastorell"), the
  // summary line's first text and the button's caption, and shows it. False
  // when it cannot be created.
  virtual bool OpenProgressWindow(const std::string& title, const std::string& summary,
                                  const std::string& button) = 0;
  virtual void CloseProgressWindow() = 0;

  virtual void SetText(int control, const std::string& text) = 0;
  virtual void SetFrameCaption(int control, const std::string& text) = 0;
  virtual void SetProgressMaximum(int maximum) = 0;
  virtual void SetProgressValue(int value) = 0;
  virtual void EnableButton(bool enabled) = 0;

  // A modal message box with an OK button; returns when it is confirmed.
  virtual void ShowMessage(const std::string& title, const std::string& text, int icon) = 0;

  // Lets the window system process pending events and drops them.
  virtual void DrainEvents() = 0;
  // Waits up to timeout_ms for the next event of window 1.
  virtual ViewEvent WaitEvent(int timeout_ms) = 0;
  // Posts a download notification to the event queue.
  virtual void PostNotification(int /*type*/) {}
  // A line that a console prints and a window does without: the files an
  // update will change, why a restart was skipped, an HTTP status.
  virtual void ShowDetail(const std::string& /*line*/) {}
  // Bytes of content staged so far in this update, of all it stages: a
  // console shows them with the speed and the time left; the window keeps
  // its texts.
  virtual void ShowTransfer(int64_t /*done*/, int64_t /*total*/) {}
};

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_VIEW_H_
