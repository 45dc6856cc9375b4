// Quastorell.exe's update on a thread of its own behind the window: the
// window's thread only paints, answers the user and carries out what the
// update asks of the view, so that no wait of the update (a slow server, a
// large file) freezes the window. Kept free of windows.h.
#ifndef QUASTO_CLIENT_WORKER_VIEW_WIN32_H_
#define QUASTO_CLIENT_WORKER_VIEW_WIN32_H_

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "client/http.h"
#include "client/view.h"
#include "client/view_win32.h"

namespace quasto::client {

// The view the worker sees. Each call is carried to the window's thread and
// waits there for its end, a message box until it is confirmed; events come
// the other way. A close while the update waits for the user (its event
// loop, or the button is enabled and about to be waited for) is the close
// the update knows; a close while it is busy (the analysis, the staging)
// cancels: `cancel` is set and `transport` interrupted. A commit ignores the
// cancel until it is done.
class WorkerView : public ClientView {
 public:
  // Made on the window's thread, which owns `window`.
  WorkerView(Win32ClientView* window, std::atomic<bool>* cancel, HttpTransport* transport);
  ~WorkerView() override;
  WorkerView(const WorkerView&) = delete;
  WorkerView& operator=(const WorkerView&) = delete;

  // On the window's thread: runs `work` on a worker thread and keeps the
  // window's messages flowing until it has returned. `work` must not throw.
  void Run(const std::function<void()>& work);

  bool OpenProgressWindow(const std::string& title, const std::string& summary,
                          const std::string& button) override;
  void CloseProgressWindow() override;
  void SetText(int control, const std::string& text) override;
  void SetFrameCaption(int control, const std::string& text) override;
  void SetProgressMaximum(int maximum) override;
  void SetProgressValue(int value) override;
  void EnableButton(bool enabled) override;
  void ShowMessage(const std::string& title, const std::string& text, int icon) override;
  // The window's thread handles its events itself.
  void DrainEvents() override {}
  ViewEvent WaitEvent(int timeout_ms) override;

  // On the window's thread, from the window procedures.
  void OnEvent(ViewEvent event);
  void RunCall(void* call);

 private:
  // Runs `f` on the window's thread and returns when it has.
  void Call(const std::function<void()>& f);

  Win32ClientView* window_;
  std::atomic<bool>* cancel_;
  HttpTransport* transport_;
  void* relay_ = nullptr;  // a message-only window of the window's thread

  std::mutex mu_;
  std::condition_variable changed_;
  std::deque<ViewEvent> events_;
  // The worker waits for the user in its event loop. From a press of the
  // button until it waits again with nothing queued, it is busy.
  bool waiting_ = false;
  bool pressed_ = false;
};

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_WORKER_VIEW_WIN32_H_
