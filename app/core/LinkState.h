#pragma once
// What the link controller publishes: the state a view shows and D-Bus reads.
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

namespace brisk::app {

struct LinkState {
  bool serviceEnabled = false;  // the service switch
  bool linkUp = false;          // the last start opened the reader's port
  bool comOpen = false;         // the port, as last looked at
  bool serverConnected = false;
  bool busy = false;  // a reader command has been asked for and its result not applied yet
  bool exiting = false;
  uint32_t comBytesRead = 0;
  uint32_t comBytesWritten = 0;
  uint32_t serverBytesReceived = 0;
  uint32_t serverBytesSent = 0;
  QString portLine;
  // The last start's Cat1 answer: 0 none, 1 present, else unknown; -1 before any start.
  int cat1 = -1;
  uint8_t cat1Model = 0;
  int trayMode = 0;  // 0 none yet, 1 PC network, 2 Cat1
  // The ports found ("自动" first) and the combo box's contents for them.
  std::vector<std::string> portChoices;
  int portChoice = -1;
  // The last firmware upgrade: idle, downloading, entering-dfu, flashing, verifying, leaving,
  // done or failed; and its progress, 0 to 100.
  QString upgradeState = QStringLiteral("idle");
  uint32_t upgradeProgress = 0;
};

}  // namespace brisk::app
