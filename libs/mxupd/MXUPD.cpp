// Thin wrappers: each export checks its pointers, builds at most one request and
// calls the driver-interface library. No state, no allocation, no log.
#include "libs/mxupd/MXUPD.h"

#include "libs/qktube/QKTubeDevice.h"

#include <cerrno>

static_assert(MXUPD_OK == QK_OK, "both libraries share the success code");

namespace {

QKDeviceHandle Device(MXUPD_HANDLE* handle) { return static_cast<QKDeviceHandle>(*handle); }

uint32_t Request(MXUPD_HANDLE* handle, uint8_t bRequest, bool toHost, uint16_t wValue,
                 uint16_t wIndex, uint32_t length, void* data) {
  ClassRequest request{};
  request.requestKind = QK_REQUEST_CLASS_INTERFACE;
  request.dataToHost = toHost ? 1 : 0;
  request.bRequest = bRequest;
  request.wValue = wValue;
  request.wIndex = wIndex;
  request.dataLength = length;
  return QKDevice_ControlPipeRequest(Device(handle), &request, data);
}

void CloseAndForget(MXUPD_HANDLE* handle) {
  QKDevice_Close(Device(handle));
  *handle = nullptr;
}

}  // namespace

extern "C" {

uint32_t MXUPD_Detach(MXUPD_HANDLE* handle, uint8_t interfaceNumber) {
  if (handle == nullptr) return MXUPD_ERR_ARGUMENT;
  uint32_t rc = Request(handle, MXUPD_REQ_DETACH, false, MXUPD_DETACH_TIMEOUT_MS, interfaceNumber,
                        0, nullptr);
  if (rc == MXUPD_OK) CloseAndForget(handle);
  return rc;
}

uint32_t MXUPD_Dnload(MXUPD_HANDLE* handle, const void* buffer, uint32_t length,
                      uint32_t blockNumber) {
  if (handle == nullptr || buffer == nullptr) return MXUPD_ERR_ARGUMENT;
  // The host-to-device data stage only reads the buffer.
  return Request(handle, MXUPD_REQ_DNLOAD, false, uint16_t(blockNumber), 0, length,
                 const_cast<void*>(buffer));
}

uint32_t MXUPD_Upload(MXUPD_HANDLE* handle, void* buffer, uint32_t length, uint32_t blockNumber) {
  if (handle == nullptr || buffer == nullptr) return MXUPD_ERR_ARGUMENT;
  errno = 0;
  uint32_t rc = Request(handle, MXUPD_REQ_UPLOAD, true, uint16_t(blockNumber), 0, length, buffer);
  if (rc == MXUPD_OK) return rc;
  const int error = errno;
  // A library that left no error behind must not turn a failure into a zero.
  return error != 0 ? uint32_t(error) : rc;
}

uint32_t MXUPD_Getstatus(MXUPD_HANDLE* handle, DfuStatusRecord* status) {
  if (handle == nullptr || status == nullptr) return MXUPD_ERR_ARGUMENT;
  uint32_t rc = Request(handle, MXUPD_REQ_GETSTATUS, true, 0, 0, sizeof(DfuStatusRecord), status);
  if (rc == MXUPD_OK && (status->bState == MXUPD_STATE_DFU_MANIFEST ||
                         status->bState == MXUPD_STATE_DFU_MANIFEST_WAIT_RESET))
    CloseAndForget(handle);
  return rc;
}

uint32_t MXUPD_Clrstatus(MXUPD_HANDLE* handle) {
  if (handle == nullptr) return MXUPD_ERR_ARGUMENT;
  return Request(handle, MXUPD_REQ_CLRSTATUS, false, 0, 0, 0, nullptr);
}

uint32_t MXUPD_Getstate(MXUPD_HANDLE* handle, uint8_t* state) {
  if (handle == nullptr || state == nullptr) return MXUPD_ERR_ARGUMENT;
  return Request(handle, MXUPD_REQ_GETSTATE, true, 0, 0, 1, state);
}

uint32_t MXUPD_Abort(MXUPD_HANDLE* handle) {
  if (handle == nullptr) return MXUPD_ERR_ARGUMENT;
  return Request(handle, MXUPD_REQ_ABORT, false, 0, 0, 0, nullptr);
}

uint32_t MXUPD_Open(const char* deviceName, MXUPD_HANDLE* handle) {
  const uint32_t rc = QKDevice_Open(deviceName, reinterpret_cast<QKDeviceHandle*>(handle), nullptr);
  // Callers retry while udev lists a device that libusb has not seen yet: they need this one
  // code of ours, not the driver library's.
  return rc == QK_ERR_NOT_FOUND ? MXUPD_ERR_NOT_FOUND : rc;
}

uint32_t MXUPD_Close(MXUPD_HANDLE* handle) {
  if (handle == nullptr) return MXUPD_ERR_ARGUMENT;
  return QKDevice_Close(Device(handle));
}

uint32_t MXUPD_GetDeviceDescriptor(MXUPD_HANDLE* handle, UsbDeviceDescriptor* descriptor) {
  if (handle == nullptr) return MXUPD_ERR_ARGUMENT;
  return QKDevice_GetDeviceDescriptor(Device(handle), descriptor);
}

uint32_t MXUPD_GetNbOfConfigurations(MXUPD_HANDLE* handle, uint32_t* count) {
  if (handle == nullptr) return MXUPD_ERR_ARGUMENT;
  return QKDevice_GetNbOfConfigurations(Device(handle), count);
}

uint32_t MXUPD_GetConfigurationDescriptor(MXUPD_HANDLE* handle, uint32_t configuration,
                                          UsbConfigurationDescriptor* descriptor) {
  if (handle == nullptr) return MXUPD_ERR_ARGUMENT;
  return QKDevice_GetConfigurationDescriptor(Device(handle), configuration, descriptor);
}

uint32_t MXUPD_GetNbOfInterfaces(MXUPD_HANDLE* handle, uint32_t configuration, uint32_t* count) {
  if (handle == nullptr) return MXUPD_ERR_ARGUMENT;
  return QKDevice_GetNbOfInterfaces(Device(handle), configuration, count);
}

uint32_t MXUPD_GetNbOfAlternates(MXUPD_HANDLE* handle, uint32_t configuration,
                                 uint32_t interfaceIndex, uint32_t* count) {
  if (handle == nullptr) return MXUPD_ERR_ARGUMENT;
  return QKDevice_GetNbOfAlternates(Device(handle), configuration, interfaceIndex, count);
}

uint32_t MXUPD_GetInterfaceDescriptor(MXUPD_HANDLE* handle, uint32_t configuration,
                                      uint32_t interfaceIndex, uint32_t alternate,
                                      UsbInterfaceDescriptor* descriptor) {
  if (handle == nullptr) return MXUPD_ERR_ARGUMENT;
  return QKDevice_GetInterfaceDescriptor(Device(handle), configuration, interfaceIndex, alternate,
                                         descriptor);
}

uint32_t MXUPD_GetStringDescriptor(MXUPD_HANDLE* handle, uint32_t index, char* buffer,
                                   uint32_t size) {
  if (handle == nullptr) return MXUPD_ERR_ARGUMENT;
  return QKDevice_GetStringDescriptor(Device(handle), index, buffer, size);
}

uint32_t MXUPD_SelectCurrentConfiguration(MXUPD_HANDLE* handle, uint32_t configuration,
                                          uint32_t interfaceIndex, uint32_t alternate) {
  if (handle == nullptr) return MXUPD_ERR_ARGUMENT;
  return QKDevice_SelectCurrentConfiguration(Device(handle), configuration, interfaceIndex,
                                             alternate);
}

uint32_t MXUPD_GetDFUDescriptor(MXUPD_HANDLE* handle, uint32_t* interfaceNumber,
                                uint32_t* nbOfAlternates, DfuFunctionalDescriptor* descriptor) {
  // The out pointers are written below, so a null one is refused rather than followed.
  if (handle == nullptr || interfaceNumber == nullptr || nbOfAlternates == nullptr ||
      descriptor == nullptr)
    return MXUPD_ERR_ARGUMENT;
  uint32_t interfaces = 0;
  uint32_t rc = MXUPD_GetNbOfInterfaces(handle, 0, &interfaces);
  if (rc != MXUPD_OK) return rc;
  // With no interface (or no alternate) the index below wraps and the lower library refuses it.
  const uint32_t lastInterface = interfaces - 1;
  uint32_t alternates = 0;
  rc = MXUPD_GetNbOfAlternates(handle, 0, lastInterface, &alternates);
  if (rc != MXUPD_OK) return rc;
  rc = QKDevice_GetDescriptor(Device(handle), QK_LEVEL_INTERFACE, 0x21, 0, lastInterface,
                              alternates - 1, 0, 0, descriptor, sizeof(DfuFunctionalDescriptor));
  if (rc != MXUPD_OK) return rc;
  UsbInterfaceDescriptor itf{};
  rc = QKDevice_GetInterfaceDescriptor(Device(handle), 0, lastInterface, 0, &itf);
  if (rc != MXUPD_OK) return rc;
  *nbOfAlternates = alternates;
  *interfaceNumber = itf.bInterfaceNumber;
  return MXUPD_OK;
}

}  // extern "C"
