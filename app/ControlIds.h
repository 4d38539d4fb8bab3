#pragma once
// The upgrade dialog's controls by object name. Kept only for DFUpgradeDialog.cpp, which still
// reads its names from here; it goes once that dialog names its controls itself.
namespace brisk::app {

struct ControlName {
  int id;
  const char* objectName;
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
