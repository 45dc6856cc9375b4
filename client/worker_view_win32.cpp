#include <windows.h>

#include <chrono>
#include <exception>
#include <thread>

#include "client/worker_view_win32.h"

namespace quasto::client {
namespace {

constexpr char kRelayClass[] = "QuastorellRelay";
constexpr UINT kCallMessage = WM_APP + 0x101;

// What the worker asks the window's thread to run.
struct PendingCall {
  const std::function<void()>* f;
  std::exception_ptr error;
};

LRESULT CALLBACK RelayProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTA*>(lp);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  } else if (msg == kCallMessage) {
    auto* view = reinterpret_cast<WorkerView*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (view != nullptr) view->RunCall(reinterpret_cast<void*>(lp));
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

}  // namespace

WorkerView::WorkerView(Win32ClientView* window, std::atomic<bool>* cancel,
                       HttpTransport* transport)
    : window_(window), cancel_(cancel), transport_(transport) {
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = RelayProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kRelayClass;
    registered = RegisterClassExA(&wc) != 0;
  }
  relay_ = CreateWindowExA(0, kRelayClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           GetModuleHandleA(nullptr), this);
  window_->ForwardEvents([this](ViewEvent event) { OnEvent(event); });
}

WorkerView::~WorkerView() {
  window_->ForwardEvents(nullptr);
  if (relay_ != nullptr) DestroyWindow(static_cast<HWND>(relay_));
}

void WorkerView::Run(const std::function<void()>& work) {
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (done == nullptr || relay_ == nullptr) {
    // Without them the window cannot be served from another thread: the
    // update runs here, as a window that freezes during waits is better
    // than none.
    if (done != nullptr) CloseHandle(done);
    window_->ForwardEvents(nullptr);
    work();
    return;
  }
  std::thread worker([&] {
    work();
    SetEvent(done);
  });
  for (;;) {
    const DWORD r = MsgWaitForMultipleObjects(1, &done, FALSE, INFINITE, QS_ALLINPUT);
    if (r == WAIT_OBJECT_0 || r == WAIT_FAILED) break;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  worker.join();
  CloseHandle(done);
}

void WorkerView::Call(const std::function<void()>& f) {
  if (relay_ == nullptr || window_ == nullptr) return;
  PendingCall call{&f, nullptr};
  // Sent, not posted: the worker goes on once the window's thread has done it.
  SendMessageA(static_cast<HWND>(relay_), kCallMessage, 0, reinterpret_cast<LPARAM>(&call));
  if (call.error) std::rethrow_exception(call.error);
}

void WorkerView::RunCall(void* call) {
  auto* c = static_cast<PendingCall*>(call);
  // Nothing thrown leaves the window procedure: it goes back to the worker.
  try {
    (*c->f)();
  } catch (...) {
    c->error = std::current_exception();
  }
}

void WorkerView::OnEvent(ViewEvent event) {
  std::lock_guard<std::mutex> lock(mu_);
  // The button is enabled just before the worker's event loop begins: what
  // the user does once it shows is meant for that loop.
  if (!pressed_ && (waiting_ || window_->ButtonEnabled())) {
    if (event == ViewEvent::kButton) {
      pressed_ = true;
      waiting_ = false;
    }
    events_.push_back(event);
    changed_.notify_all();
    return;
  }
  // Busy: a press is a stray one; a close cancels.
  if (event == ViewEvent::kCloseWindow && cancel_ != nullptr) {
    cancel_->store(true);
    if (transport_ != nullptr) transport_->Interrupt();
  }
}

ViewEvent WorkerView::WaitEvent(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  if (events_.empty()) {
    pressed_ = false;
    waiting_ = true;
  }
  changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                    [this] { return !events_.empty(); });
  if (events_.empty()) return ViewEvent::kNone;
  const ViewEvent event = events_.front();
  events_.pop_front();
  return event;
}

bool WorkerView::OpenProgressWindow(const std::string& title, const std::string& summary,
                                    const std::string& button) {
  bool opened = false;
  Call([&] { opened = window_->OpenProgressWindow(title, summary, button); });
  return opened;
}

void WorkerView::CloseProgressWindow() {
  Call([&] { window_->CloseProgressWindow(); });
}

void WorkerView::SetText(int control, const std::string& text) {
  Call([&] { window_->SetText(control, text); });
}

void WorkerView::SetFrameCaption(int control, const std::string& text) {
  Call([&] { window_->SetFrameCaption(control, text); });
}

void WorkerView::SetProgressMaximum(int maximum) {
  Call([&] { window_->SetProgressMaximum(maximum); });
}

void WorkerView::SetProgressValue(int value) {
  Call([&] { window_->SetProgressValue(value); });
}

void WorkerView::EnableButton(bool enabled) {
  Call([&] { window_->EnableButton(enabled); });
}

void WorkerView::ShowMessage(const std::string& title, const std::string& text, int icon) {
  Call([&] { window_->ShowMessage(title, text, icon); });
}

}  // namespace quasto::client
