#pragma once
// Runs the reader commands one at a time on a thread of their own, in the order they were
// asked for, so that the program's thread keeps serving the person, the signals and D-Bus while
// the reader takes its time. Each result is applied afterwards on the owner's thread.
//
// A stop is urgent: it goes ahead of every command still waiting, which is dropped (its
// dropped() runs at once, on the owner's thread), and it cuts the command in flight short,
// unless that is a stop too, whose notice must go out.
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
  // interrupt: called, under the runner's lock, to cut the command in flight short.
  explicit CommandRunner(std::function<void()> interrupt, QObject* parent = nullptr);
  // Waits for the running job and drops the waiting ones: no result is applied afterwards.
  ~CommandRunner() override;
  CommandRunner(const CommandRunner&) = delete;
  CommandRunner& operator=(const CommandRunner&) = delete;

  enum class Kind { Command, Stop };

  // work runs on the worker; apply(result) runs on this object's thread once work has ended;
  // dropped() instead when the job never runs (a stop went ahead, or the runner is sealed).
  template <typename Work, typename Apply>
  void Run(Work work, Apply apply, std::function<void()> dropped = {}, Kind kind = Kind::Command) {
    using Result = std::invoke_result_t<Work&>;
    if constexpr (std::is_void_v<Result>) {
      Post(std::function<void()>(std::move(work)), std::function<void()>(std::move(apply)),
           std::move(dropped), kind);
    } else {
      auto result = std::make_shared<std::optional<Result>>();
      Post([work = std::move(work), result]() mutable { result->emplace(work()); },
           [apply = std::move(apply), result]() mutable { apply(std::move(**result)); },
           std::move(dropped), kind);
    }
  }
  template <typename Work, typename Apply>
  void RunStop(Work work, Apply apply) {
    Run(std::move(work), std::move(apply), {}, Kind::Stop);
  }

  // From now on only stops run; commands asked for are dropped at once (after exit).
  void Seal() { m_sealed = true; }
  bool Sealed() const { return m_sealed; }

  // Jobs asked for whose result has not been taken up yet (owner's thread).
  bool Busy() const { return m_outstanding > 0; }

 signals:
  // Busy() changed.
  void busyChanged(bool busy);

 private:
  struct Job {
    std::function<void()> work;
    std::function<void()> apply;
    std::function<void()> dropped;
    Kind kind = Kind::Command;
  };
  void Post(std::function<void()> work, std::function<void()> apply, std::function<void()> dropped,
            Kind kind);
  void Loop();
  Q_INVOKABLE void Deliver();
  void Applied();

  std::function<void()> m_interrupt;
  std::mutex m_lock;
  std::condition_variable m_wake;
  std::deque<Job> m_queue;
  std::deque<std::function<void()>> m_done;
  bool m_ending = false;
  // The kind of the job the worker runs now (guarded by m_lock); none while idle.
  std::optional<Kind> m_running;
  bool m_sealed = false;
  int m_outstanding = 0;
  std::thread m_thread;
};

}  // namespace brisk::app
