// mkcontainer: wraps a file in compressed and/or encrypted containers.
//
//   mkcontainer [layer options...] INPUT OUTPUT
//
// Settings options change the parameters of the layers that follow them;
// each --compress or --encrypt adds one layer with the current settings.
// Layers are applied in command-line order, so the last one is outermost.
// Without any layer option one compressed layer is written.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "container_writer.h"

namespace {

constexpr const char* kUsage =
    "usage: mkcontainer [options] INPUT OUTPUT\n"
    "Wraps INPUT in containers; each --compress/--encrypt adds one layer, innermost first.\n"
    "  --compress              add a compressed layer\n"
    "  --encrypt               add an encrypted layer (needs --password)\n"
    "  --window-bits=W         compression window 2^W, 4..15 (default 8)\n"
    "  --lookahead-bits=L      longest back-reference 2^L, 3..W-1 (default 4)\n"
    "  --crc / --no-crc        write the CRC-32 footer (default on)\n"
    "  --password=TEXT         password of encrypted layers\n"
    "  --password-file=PATH    password read from a file (bytes as they stand)\n"
    "  --device=HEX            device identifier (default 0)\n"
    "  --iterations=N          PBKDF2 iteration count (default 1000)\n"
    "  --variant=N             header byte 12 of encrypted layers, 0 or 1 (default 0)\n"
    "  --salt=HEX32            PBKDF2 salt, 16 bytes in hex (default random)\n"
    "  --iv=HEX24              GCM IV, 12 bytes in hex (default random)\n";

bool readFile(const char* path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  std::streamoff size = in.tellg();
  if (size < 0) return false;
  out.resize(static_cast<size_t>(size));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(out.data()), size);
  return in.gcount() == size;
}

bool parseUnsigned(std::string_view text, int base, uint64_t max, uint64_t& value) {
  if (text.empty()) return false;
  std::string s(text);
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || v > max || s[0] == '-') return false;
  value = v;
  return true;
}

template <size_t N>
bool parseHex(std::string_view text, std::array<uint8_t, N>& out) {
  if (text.size() != 2 * N) return false;
  for (size_t i = 0; i < N; ++i) {
    uint64_t v;
    if (!parseUnsigned(text.substr(2 * i, 2), 16, 255, v)) return false;
    out[i] = static_cast<uint8_t>(v);
  }
  return true;
}

struct Settings {
  cCompressOptions compress;
  cEncryptOptions encrypt;
  bool havePassword = false;
};

// Applies one option; false with a message on a bad option.
bool applyOption(std::string_view arg, Settings& s, std::vector<cContainerLayer>& layers) {
  auto eq = arg.find('=');
  std::string_view name = arg.substr(0, eq);
  std::string_view value = eq == std::string_view::npos ? std::string_view{} : arg.substr(eq + 1);
  uint64_t v = 0;
  if (name == "--compress") {
    layers.emplace_back(s.compress);
  } else if (name == "--encrypt") {
    if (!s.havePassword) {
      std::fprintf(stderr, "mkcontainer: --encrypt needs a password first\n");
      return false;
    }
    layers.emplace_back(s.encrypt);
  } else if (name == "--crc") {
    s.compress.crcFooter = true;
  } else if (name == "--no-crc") {
    s.compress.crcFooter = false;
  } else if (name == "--window-bits" && parseUnsigned(value, 10, 15, v) && v >= 4) {
    s.compress.windowBits = static_cast<uint8_t>(v);
  } else if (name == "--lookahead-bits" && parseUnsigned(value, 10, 14, v) && v >= 3) {
    s.compress.lookaheadBits = static_cast<uint8_t>(v);
  } else if (name == "--password" && eq != std::string_view::npos) {
    s.encrypt.password = std::string(value);
    s.havePassword = true;
  } else if (name == "--password-file" && !value.empty()) {
    std::vector<uint8_t> bytes;
    if (!readFile(std::string(value).c_str(), bytes)) {
      std::fprintf(stderr, "mkcontainer: cannot read %.*s\n", static_cast<int>(value.size()),
                   value.data());
      return false;
    }
    s.encrypt.password.assign(bytes.begin(), bytes.end());
    s.havePassword = true;
  } else if (name == "--device" && parseUnsigned(value, 16, 0xFFFFFFFFu, v)) {
    s.compress.deviceId = s.encrypt.deviceId = static_cast<uint32_t>(v);
  } else if (name == "--iterations" && parseUnsigned(value, 10, 0xFFFFFFFFu, v)) {
    s.encrypt.iterations = static_cast<uint32_t>(v);
  } else if (name == "--variant" && parseUnsigned(value, 10, 255, v)) {
    s.encrypt.variant = static_cast<uint8_t>(v);
  } else if (name == "--salt" && parseHex(value, s.encrypt.salt.emplace())) {
  } else if (name == "--iv" && parseHex(value, s.encrypt.iv.emplace())) {
  } else {
    std::fprintf(stderr, "mkcontainer: invalid option \"%.*s\"\n", static_cast<int>(arg.size()),
                 arg.data());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  std::vector<cContainerLayer> layers;
  std::vector<const char*> paths;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg.starts_with("--")) {
      if (!applyOption(arg, settings, layers)) return 2;
    } else {
      paths.push_back(argv[i]);
    }
  }
  if (paths.size() != 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (layers.empty()) layers.emplace_back(settings.compress);
  std::vector<uint8_t> input;
  if (!readFile(paths[0], input)) {
    std::fprintf(stderr, "mkcontainer: cannot read %s\n", paths[0]);
    return 1;
  }
  auto output = cContainer_wrap(input, layers);
  if (!output) {
    std::fprintf(stderr, "mkcontainer: wrapping failed (lookahead bits must be below window bits)\n");
    return 1;
  }
  std::ofstream out(paths[1], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(output->data()),
            static_cast<std::streamsize>(output->size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "mkcontainer: cannot write %s\n", paths[1]);
    return 1;
  }
  return 0;
}
