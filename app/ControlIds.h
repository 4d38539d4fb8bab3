#pragma once
// The window's control and command ids, and the object names the controls carry here: the one
// table between the two.
namespace brisk::app {

struct ControlName {
  int id;
  const char* objectName;
};

// Main window "读卡器设置".
inline constexpr ControlName kWindowControls[] = {
    // Left half: service, port and status.
    {1041, "startButton"},
    {1042, "stopButton"},
    {1002, "portCombo"},
    {1003, "changePortButton"},
    {1011, "portLine"},
    {1005, "comStateText"},
    {1007, "comBytesReadText"},
    {1009, "comBytesWrittenText"},
    {1004, "serverStateText"},
    {1008, "serverBytesReceivedText"},
    {1010, "serverBytesSentText"},
    {1013, "cat1PresentText"},
    {1014, "cat1ModelText"},
    {1032, "autoRunCheck"},
    {1033, "autoStartServiceCheck"},
    {1000, "netModeAutoRadio"},
    {1001, "netModeUsbRadio"},
    {1006, "netModeCat1Radio"},
    {1012, "switchNetModeButton"},
    {1038, "networkTestButton"},
    {1039, "networkTestResultText"},
    {1037, "aboutButton"},
    // Right half: the configuration panel.
    {1016, "collapseButton"},
    {1029, "licenceEdit"},
    {1030, "macEdit"},
    {1031, "iccidEdit"},
    {1026, "authQueryButton"},
    {1019, "connectAtPowerOnRadio"},
    {1020, "waitForHostRadio"},
    {1021, "cacheOffRadio"},
    {1022, "cacheOnRadio"},
    {1017, "platformAddressEdit"},
    {1018, "platformPortEdit"},
    {1027, "platformQueryButton"},
    {1028, "platformChangeButton"},
    {1034, "connectStatusButton"},
    {1035, "statusCodeText"},
    {1036, "connectTypeText"},
    {1040, "logCheck"},
    {1048, "usbHeartbeatEdit"},
    {1049, "usbHeartbeatSpin"},
    {1052, "cat1HeartbeatEdit"},
    {1053, "cat1HeartbeatSpin"},
    {1050, "heartbeatQueryButton"},
    {1051, "heartbeatChangeButton"},
    // Tray menu commands (also the window's context menu where there is no tray).
    {2026, "trayStartAction"},
    {2027, "trayStopAction"},
    {2028, "traySettingsAction"},
    {2029, "trayExitAction"},
};

// About box "关于".
inline constexpr ControlName kAboutControls[] = {
    {1, "okButton"},
    {1036, "versionText"},
};

// DFU upgrade dialog "DFU升级".
inline constexpr ControlName kUpgradeControls[] = {
    {1045, "warningText"},
    {1044, "statusText"},
    {1043, "progressBar"},
    {1046, "sizeText"},
};

// The object name of a control id, nullptr when there is none.
template <int N>
constexpr const char* ControlObjectName(const ControlName (&table)[N], int id) {
  for (const ControlName& c : table)
    if (c.id == id) return c.objectName;
  return nullptr;
}

}  // namespace brisk::app
