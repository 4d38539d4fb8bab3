#pragma once
// The modal dialog "DFU升级" in which the reader's firmware is replaced: the window of the
// upgrade engine. The engine's steps run in order on a worker of their own, with the dialog's
// pauses between them, so that opening the device, reading its map, settling it and stopping an
// operation never block the window; what a step shows comes back to the window's thread. Its
// message boxes go through the window's prompt.
#include <QDialog>
#include <QString>
#include <memory>
#include <string>

#include "dfu/DfuUpgradeEngine.h"

class QLabel;
class QProgressBar;

namespace brisk::app {

class Prompt;
struct DfuSession;

class DFUpgradeDialog : public QDialog {
  Q_OBJECT
 public:
  // No parent window; prompt must outlive the dialog.
  explicit DFUpgradeDialog(Prompt& prompt);
  // Returns at once: a step or operation still running ends on the worker.
  ~DFUpgradeDialog() override;

  // Before the dialog is shown, on the window's thread.
  void StartUpgrade(const std::string& path);
  void SetHasDFUDevice(int value);
  int FindDfuDevices();

  QString StatusText() const;
  QString SizeText() const;
  QString ProgressText() const;
  int Progress() const;
  // Whether the sequence is in the pause before the step of timer id (dfu::DfuTimer), or runs
  // that step.
  bool TimerPending(int id) const { return m_pause == id; }

  // What the engine shows, on the window's thread.
  void SetStatus(dfu::Status status);
  void SetProgress(int percent);
  void SetProgressText(const std::string& text);
  void SetSizeText(const std::string& text);
  void ShowMessage(const std::string& text);
  // A failed operation: a failure status with its cause and what to do, the engine's reason on
  // the byte-count line, instead of the last progress text.
  void ShowFailure(const dfu::DfuFailure& failure);
  void SetPause(int step) { m_pause = step; }

  void done(int result) override;

 signals:
  void statusChanged(const QString& text);
  void sizeTextChanged(const QString& text);

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // Ends the dialog's part: the sequence stops at its next pause, and the engine is closed on
  // the worker.
  void Release();
  void ShowStatus(const QString& text);

  Prompt& m_prompt;
  QLabel* m_Status = nullptr;
  QProgressBar* m_Progress = nullptr;
  QLabel* m_sizeLabel = nullptr;
  int m_pause = 0;  // the step whose pause runs, 0 when none
  bool m_started = false;
  // The engine and its worker; outlives the dialog while a step or a stop still runs.
  std::shared_ptr<DfuSession> m_session;
};

}  // namespace brisk::app
