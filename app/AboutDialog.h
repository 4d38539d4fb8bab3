#pragma once
// The about box: product name, the build's version and a copyright line.
#include <QDialog>

namespace brisk::app {

// The program's product version, from the build (the CMake project's version).
const char* ProductVersion();

class CAboutDialog : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDialog(QWidget* parent = nullptr);
};

}  // namespace brisk::app
