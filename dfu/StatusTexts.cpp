#include "dfu/StatusTexts.h"

// Marks the Chinese texts for the window's translation files (scripts/update-translations.sh
// reads this file); the engine itself has no Qt.
#define QT_TRANSLATE_NOOP(context, text) text

namespace brisk::dfu {
namespace {

// In the order of Status.
constexpr StatusText kTexts[kStatusCount] = {
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "开始升级读卡器，请等待升级完成"),
     "Upgrading the reader: wait until the upgrade is done"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "正在查找DFU设备"), "Looking for the DFU device"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "升级文件校验成功，正在查找DFU设备"),
     "Upgrade file checked, looking for the DFU device"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "升级文件校验失败"),
     "The upgrade file failed its check"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "找到DFU设备，正在打开"),
     "DFU device found, opening it"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "DFU设备打开失败"), "Failed to open the DFU device"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "正在查找匹配的升级包"),
     "Looking for a matching package"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "找到匹配的升级包,开始升级"),
     "Matching package found, upgrading"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "DFU设备打开成功，开始升级"),
     "DFU device open, upgrading"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "升级文件与当前设备不匹配，无法升级"),
     "The upgrade file does not match this device: no upgrade"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "未找到匹配的升级包"), "No matching package found"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "启动升级失败"), "Failed to start the upgrade"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "正在升级，请保持读卡器连接"),
     "Upgrading: keep the reader connected"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "升级成功"), "Upgrade succeeded"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "正在校验升级，请稍后"),
     "Verifying the upgrade, please wait"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "校验成功"), "Verified"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine",
                       "升级完成，请关闭此对话框。如未能成功打开端口，请重新插拔读卡器"),
     "Upgrade done: close this dialog. If the port does not open, unplug and replug the reader"},
    {QT_TRANSLATE_NOOP("DfuUpgradeEngine", "升级完成，但重启读卡器失败"),
     "Upgrade done, but the reader did not restart"},
};

}  // namespace

const StatusText& TextOf(Status status) { return kTexts[int(status)]; }

}  // namespace brisk::dfu
