#pragma once
// Runs the reader commands one at a time on a thread of their own, in the order they were
// asked for, so that the window's thread keeps serving the person, the signals and D-Bus while
// the reader takes its time. Each result is applied afterwards on the window's thread.
#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

namespace brisk::app {

class CommandRunner : public QObject {
  Q_OBJECT
 public:
  explicit CommandRunner(QObject* parent = nullptr);
  // Waits for the running job and drops the waiting ones: no result is applied afterwards.
  ~CommandRunner() override;
  CommandRunner(const CommandRunner&) = delete;
  CommandRunner& operator=(const CommandRunner&) = delete;

  // work runs on the worker; apply(result) runs on this object's thread once work has ended.
  template <typename Work, typename Apply>
  void Run(Work work, Apply apply) {
    using Result = std::invoke_result_t<Work&>;
    if constexpr (std::is_void_v<Result>) {
      Post(std::function<void()>(std::move(work)), std::function<void()>(std::move(apply)));
    } else {
      auto result = std::make_shared<std::optional<Result>>();
      Post([work = std::move(work), result]() mutable { result->emplace(work()); },
           [apply = std::move(apply), result]() mutable { apply(std::move(**result)); });
    }
  }

  // Jobs asked for whose result has not been taken up yet (window thread).
  bool Busy() const { return m_outstanding > 0; }

 signals:
  // Busy() changed.
  void busyChanged(bool busy);

 private:
  struct Job {
    std::function<void()> work;
    std::function<void()> apply;
  };
  void Post(std::function<void()> work, std::function<void()> apply);
  void Loop();
  Q_INVOKABLE void Deliver();
  void Applied();

  std::mutex m_lock;
  std::condition_variable m_wake;
  std::deque<Job> m_queue;
  std::deque<std::function<void()>> m_done;
  bool m_ending = false;
  int m_outstanding = 0;
  std::thread m_thread;
};

}  // namespace brisk::app
