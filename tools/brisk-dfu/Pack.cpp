#include "tools/brisk-dfu/Pack.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libs/mxupdfiles/MXUPDFILES.h"
#include "tools/brisk-dfu/ConsoleText.h"
#include "tools/brisk-dfu/IntelHex.h"

namespace brisk::tools {
namespace {

bool ParseHex(const char* text, uint32_t max, uint32_t& out) {
  if (!text || !*text) return false;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
  if (!*text || std::strlen(text) > 8) return false;
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 16);
  if (*end || v > max) return false;
  out = uint32_t(v);
  return true;
}

struct PackImage {
  uint8_t alternate = 0;
  std::string name;
  std::vector<HexBlock> blocks;
};

// ALT[:NAME]=ADDRESS:FILE.bin or ALT[:NAME]=FILE.hex, added to the image of that alternate.
bool AddImageArgument(const std::string& arg, std::vector<PackImage>& images, std::string& err) {
  const size_t eq = arg.find('=');
  if (eq == std::string::npos) {
    err = "\"" + arg + "\": expected ALT[:NAME]=...";
    return false;
  }
  std::string head = arg.substr(0, eq), rest = arg.substr(eq + 1), name;
  if (const size_t colon = head.find(':'); colon != std::string::npos) {
    name = head.substr(colon + 1);
    head = head.substr(0, colon);
  }
  char* end = nullptr;
  const unsigned long alt = std::strtoul(head.c_str(), &end, 10);
  if (head.empty() || *end || alt > 255) {
    err = "\"" + head + "\": the alternate setting is a number from 0 to 255";
    return false;
  }
  std::vector<HexBlock> blocks;
  const bool hex = rest.size() > 4 && rest.compare(rest.size() - 4, 4, ".hex") == 0;
  if (hex) {
    if (!ReadIntelHex(rest, blocks, err)) {
      err = rest + ": " + err;
      return false;
    }
  } else {
    const size_t colon = rest.find(':');
    uint32_t address = 0;
    if (colon == std::string::npos ||
        !ParseHex(rest.substr(0, colon).c_str(), 0xFFFFFFFF, address)) {
      err = "\"" + rest + "\": expected ADDRESS:FILE.bin or FILE.hex";
      return false;
    }
    HexBlock block;
    block.address = address;
    const std::string file = rest.substr(colon + 1);
    if (!ReadBounded(file, MXUPDFILES_MAX_FILE_SIZE, block.data, err)) {
      err = file + ": " + err;
      return false;
    }
    if (uint64_t(address) + block.data.size() > 0x100000000ull) {
      err = file + " reaches past 4 GiB";
      return false;
    }
    blocks.push_back(std::move(block));
  }
  PackImage* image = nullptr;
  for (auto& i : images)
    if (i.alternate == alt) image = &i;
  if (!image) {
    images.push_back({uint8_t(alt), name, {}});
    image = &images.back();
  }
  if (!name.empty()) image->name = name;
  for (auto& b : blocks) image->blocks.push_back(std::move(b));
  return true;
}

}  // namespace

int Pack(int argc, char** argv) {
  std::string out;
  uint32_t vid = 0, pid = 0, version = 0xFFFF;
  bool haveVid = false, havePid = false;
  std::vector<PackImage> images;
  std::string err;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "-o" && value) {
      out = value;
      ++i;
    } else if (a == "--vid" && value && ParseHex(value, 0xFFFF, vid)) {
      haveVid = true;
      ++i;
    } else if (a == "--pid" && value && ParseHex(value, 0xFFFF, pid)) {
      havePid = true;
      ++i;
    } else if (a == "--version" && value && ParseHex(value, 0xFFFF, version)) {
      ++i;
    } else if (!a.empty() && a[0] != '-') {
      if (!AddImageArgument(a, images, err)) {
        std::fprintf(stderr, "brisk-dfu: %s\n", EscapeControl(err).c_str());
        return 1;
      }
    } else {
      return kUsage;
    }
  }
  if (out.empty() || !haveVid || !havePid || images.empty() || images.size() > 255) {
    return kUsage;
  }
  std::vector<MXUPDFILES_IMAGE> handles;
  uint32_t rc = MXUPDFILES_OK;
  for (auto& img : images) {
    std::sort(img.blocks.begin(), img.blocks.end(),
              [](const auto& a, const auto& b) { return a.address < b.address; });
    MXUPDFILES_IMAGE h = nullptr;
    rc = MXUPDFILES_CreateImage(&h, img.alternate, img.name.c_str());
    if (rc != MXUPDFILES_OK) break;
    handles.push_back(h);
    for (auto& b : img.blocks) {
      ImageElement el{};
      el.address = b.address;
      el.size = uint32_t(b.data.size());
      el.data = b.data.data();
      rc = MXUPDFILES_AppendImageElement(h, &el);
      if (rc != MXUPDFILES_OK) {
        err = "alternate " + std::to_string(img.alternate) + ", block at " +
              Hex("0x%08X", b.address) + ": " + MXUPDFILES_StatusText(rc);
        break;
      }
    }
    if (rc != MXUPDFILES_OK) break;
  }
  int why = 0;
  if (rc == MXUPDFILES_OK) {
    errno = 0;
    rc = MXUPDFILES_WriteDFUFile(out.c_str(), uint16_t(vid), uint16_t(pid), uint16_t(version),
                                 handles.data(), uint32_t(handles.size()));
    why = errno;
  }
  for (auto& h : handles) MXUPDFILES_DestroyImage(&h);
  if (rc != MXUPDFILES_OK) {
    if (err.empty()) err = out + ": " + MXUPDFILES_StatusText(rc);
    if (rc == MXUPDFILES_ERR_WRITE && why) err += std::string(": ") + std::strerror(why);
    std::fprintf(stderr, "brisk-dfu: %s\n", EscapeControl(err).c_str());
    return 1;
  }
  return 0;
}

}  // namespace brisk::tools
