#include "link/ReaderPort.h"

#include "platform/SerialPort.h"

namespace brisk::link {

namespace {

class SerialReaderPort : public ReaderPort {
 public:
  explicit SerialReaderPort(std::unique_ptr<platform::SerialPort> port) : m_port(std::move(port)) {}
  int Fd() const override { return m_port->Fd(); }
  int ReadAvailable(uint8_t* buffer, size_t count) override {
    return m_port->ReadAvailable(buffer, count);
  }
  int Write(const uint8_t* bytes, size_t count) override { return m_port->Write(bytes, count); }
  bool TakeLineErrors() override { return m_port->TakeLineErrors(); }
  void PurgeInput() override { m_port->PurgeInput(); }

 private:
  std::unique_ptr<platform::SerialPort> m_port;
};

}  // namespace

std::unique_ptr<ReaderPort> OpenSerialReaderPort(const std::string& path, int baud) {
  auto port = platform::SerialPort::Open(path, baud);
  if (!port) return nullptr;
  return std::make_unique<SerialReaderPort>(std::move(port));
}

}  // namespace brisk::link
