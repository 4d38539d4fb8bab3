#pragma once
// One firmware upgrade's DFU sequence: the engine's steps in order on a worker of its own, with
// the pauses between them that the upgrade dialog always had, so that opening the device,
// reading its map, settling it and stopping an operation never block this thread. What the
// engine shows comes back to this object's thread as state and signals. The upgrade dialog is a
// view of it; brisknetd runs it with no view at all.
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "dfu/DfuUpgradeEngine.h"

namespace brisk::app {

struct DfuSession;

class UpgradeRun : public QObject {
  Q_OBJECT
 public:
  explicit UpgradeRun(QObject* parent = nullptr);
  // Returns at once: a step or operation still running ends on the worker.
  ~UpgradeRun() override;

  // What Prepare hands back when the package cannot be read or is for another product; the
  // reader was not asked then.
  static constexpr int kPackageUnfit = -100;

  // Before Begin, on this object's thread.
  void StartUpgrade(const std::string& path);
  // On the worker: reads the package (once: the flash and its check use these very bytes),
  // checks that it is for the reader, and then runs ask(), which asks the reader to enter DFU
  // mode. ready(ask's answer, or kPackageUnfit) follows on this thread. A run prepared so
  // begins at the device search, after the package check's pause and text.
  void Prepare(std::function<int()> ask, std::function<void(int)> ready);
  void SetHasDFUDevice(int value);
  int FindDfuDevices();
  // The first status, then the steps on the worker. Once.
  void Begin();
  // Ends the run: the sequence stops at its next pause and the engine is closed on the worker.
  // A run that had begun and not ended is finished as stopped.
  void Stop();

  bool Begun() const { return m_begun; }
  bool Ended() const { return m_ended; }
  // The step whose pause runs, or that runs (dfu::DfuTimer), 0 when none.
  int Pause() const { return m_pause; }
  dfu::Status Status() const { return m_status; }
  int Progress() const { return m_progress; }
  // idle, entering-dfu, flashing, verifying, leaving, done or failed.
  const char* StateName() const { return m_state; }

  // What the engine shows, on this object's thread (the worker hands it over).
  void SetPause(int step) { m_pause = step; }
  void ShowStatus(dfu::Status status);
  void ShowProgress(int percent);
  void ShowProgressText(const std::string& text);
  void ShowSizeText(const std::string& text);
  void ShowMessage(const std::string& text);
  void ShowFailure(const dfu::DfuFailure& failure);
  void End(dfu::DfuOutcome outcome, const std::string& cause);

 signals:
  void statusChanged(brisk::dfu::Status status);
  void progressChanged(int percent);
  void progressTextChanged(const QString& text);
  void sizeTextChanged(const QString& text);
  // The engine waits until the receivers have returned (a modal box has been dismissed).
  void messageShown(const QString& text);
  void failureShown(const brisk::dfu::DfuFailure& failure);
  // StateName() or Progress() changed.
  void stateChanged();
  void finished(bool ok, const QString& cause);

 private:
  void SetState(const char* name);

  bool m_begun = false;
  bool m_prepared = false;
  bool m_ended = false;
  int m_pause = 0;
  dfu::Status m_status = dfu::Status::Starting;
  int m_progress = 0;
  const char* m_state = "idle";
  // The engine and its worker; outlives this object while a step or a stop still runs.
  std::shared_ptr<DfuSession> m_session;
};

}  // namespace brisk::app
