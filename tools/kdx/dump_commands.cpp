// detect, dump FILE and restore FILE: card type detection, and a whole card
// to a file and back, for every memory family the tool knows.
//
// A dump reads the card in the driver's piece size and writes the bytes as
// they are. A restore presents the codes given, reads the card, erases (where
// a 0 must become a 1) and writes (where anything differs) piece by piece,
// reads everything back and lists what the card did not take.
#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>
#include <optional>
#include <random>

#include "kdx/at102_commands.h"
#include "kdx/memory_image.h"

namespace kdx::tool {
namespace {

// One family as dump and restore see it. Addresses run over the whole
// memory the family's driver reaches.
struct DumpFamily {
  const char* name;
  uint32_t size;
  uint32_t read_piece;   // bytes per read call
  uint32_t write_piece;  // bytes per erase and write call
  bool (*open)(VelmorSession& s);
  StatusCode (*read)(const VelmorApi& api, uint32_t address, uint32_t length, uint8_t* destination);
  // Presents the codes words; false (said why) when one is refused.
  bool (*present)(VelmorSession& s, const Args& codes);
  // Nullptr: the card's write erases by itself.
  StatusCode (*erase)(const VelmorApi& api, uint32_t address, uint32_t length);
  StatusCode (*write)(const VelmorApi& api, uint32_t address, uint32_t length, const uint8_t* source);
};

// The SLE cards: the PSC as one hex word.
template <std::size_t PscSize>
bool present_psc(VelmorSession& s, const Args& codes, StatusCode (*verify)(const VelmorApi&, const uint8_t*)) {
  for (const auto& word : codes) {
    const auto psc = parse_hex(word);
    if (!psc || psc->size() != PscSize) {
      std::fprintf(stderr, "%s: expected the PSC, %zu bytes in hex\n", word.c_str(), PscSize);
      return false;
    }
    const StatusCode status = verify(s.api(), psc->data());
    if (status == ST_WRONG_PASSWORD) {
      std::printf("PSC %s refused\n", word.c_str());
      return false;
    }
    if (!s.check(status, "verify")) return false;
    std::printf("PSC %s accepted\n", word.c_str());
  }
  return true;
}

// Powers an SLE card once in a session; the session unpowers it.
bool open_sle(VelmorSession& s, const std::string& name, StatusCode (*open)(const VelmorApi&, uint8_t*),
              StatusCode (*close)(const VelmorApi&)) {
  if (s.card_is_open(name)) return true;
  uint8_t atr[4];
  if (!s.check(open(s.api(), atr), "open " + name)) return false;
  s.card_opened(name, [&s, name, close] { s.check(close(s.api()), "close " + name); });
  return true;
}
bool open_sle4442(VelmorSession& s) {
  return open_sle(
      s, "sle4442", [](const VelmorApi& api, uint8_t* atr) { return api.SLE4442_OpenCard(atr); },
      [](const VelmorApi& api) { return api.SLE4442_CloseCard(); });
}
bool open_sle4428(VelmorSession& s) {
  return open_sle(
      s, "sle4428", [](const VelmorApi& api, uint8_t* atr) { return api.SLE4428_OpenCard(atr); },
      [](const VelmorApi& api) { return api.SLE4428_CloseCard(); });
}

const DumpFamily kSle4442{
    "sle4442", 256, 184, 16, &open_sle4442,
    [](const VelmorApi& api, uint32_t a, uint32_t l, uint8_t* d) { return api.SLE4442_ReadChar(a, l, d); },
    [](VelmorSession& s, const Args& codes) {
      return present_psc<3>(s, codes, [](const VelmorApi& api, const uint8_t* p) { return api.SLE4442_VerifyPWD(p[0], p[1], p[2]); });
    },
    nullptr,
    [](const VelmorApi& api, uint32_t a, uint32_t l, const uint8_t* d) { return api.SLE4442_WriteChar(a, l, d); },
};

const DumpFamily kSle4428{
    "sle4428", 1024, 184, 16, &open_sle4428,
    [](const VelmorApi& api, uint32_t a, uint32_t l, uint8_t* d) { return api.SLE4428_ReadChar(a, l, d); },
    [](VelmorSession& s, const Args& codes) {
      return present_psc<2>(s, codes, [](const VelmorApi& api, const uint8_t* p) { return api.SLE4428_VerifyPWD(p[0], p[1]); });
    },
    nullptr,
    [](const VelmorApi& api, uint32_t a, uint32_t l, const uint8_t* d) { return api.SLE4428_WriteChar(a, l, d); },
};

// The AT102 family, in its whole-memory zone.
template <const at102::Family& (*F)()>
bool present_at102_codes(VelmorSession& s, const Args& codes) {
  for (const auto& word : codes) {
    at102::Code code;
    if (!at102::parse_code(F(), word, code) || !at102::present(F(), s, code)) return false;
  }
  return true;
}

template <const at102::Family& (*F)()>
constexpr DumpFamily at102_family(const char* name, uint32_t read_piece) {
  return {
      name,
      0,
      read_piece,
      static_cast<uint32_t>(velmor::at102::kErasePiece),
      [](VelmorSession& s) { return at102::open_card(F(), s); },
      [](const VelmorApi& api, uint32_t a, uint32_t l, uint8_t* d) {
        return (api.*F().read)(a, l, at102::whole_zone(F()), d);
      },
      &present_at102_codes<F>,
      [](const VelmorApi& api, uint32_t a, uint32_t l) { return (api.*F().erase)(a, l, at102::whole_zone(F())); },
      [](const VelmorApi& api, uint32_t a, uint32_t l, const uint8_t* d) {
        return (api.*F().write)(a, l, at102::whole_zone(F()), d);
      },
  };
}

// The secure memories: every zone one after the other, the configuration
// zone last. Codes: INDEX=HEX presents a password (the driver's index), and
// gc=HEX authenticates with the seed.
struct SecureApi {
  const char* name;
  uint32_t zone_size;
  uint32_t zones;  // user zones; the configuration zone follows
  uint32_t config_size;
  // The driver's exports, as members of the loaded API.
  decltype(&VelmorApi::AT153_ReadChar) read;
  decltype(&VelmorApi::AT153_WriteChar) write;
  decltype(&VelmorApi::AT153_VerifyPWD) verify;
  decltype(&VelmorApi::AT153_Auth) auth;
};

const SecureApi kAt153Api{"at153",
                          64,
                          3,
                          64,
                          &VelmorApi::AT153_ReadChar,
                          &VelmorApi::AT153_WriteChar,
                          &VelmorApi::AT153_VerifyPWD,
                          &VelmorApi::AT153_Auth};
const SecureApi kAt1608Api{"at1608",
                           256,
                           8,
                           128,
                           &VelmorApi::AT1608_ReadChar,
                           &VelmorApi::AT1608_WriteChar,
                           &VelmorApi::AT1608_VerifyPWD,
                           &VelmorApi::AT1608_Auth};

bool open_secure(VelmorSession& s) {
  return open_sle(
      s, "at153", [](const VelmorApi& api, uint8_t* atr) { return api.AT153_OpenCard(atr); },
      [](const VelmorApi& api) { return api.AT153_CloseCard(); });
}

// A whole-card address as zone and address in it; pieces never cross a
// zone (the piece sizes divide the zone sizes).
template <const SecureApi& A>
StatusCode secure_read(const VelmorApi& api, uint32_t address, uint32_t length, uint8_t* destination) {
  return (api.*A.read)(address % A.zone_size, length, address / A.zone_size, destination);
}
template <const SecureApi& A>
StatusCode secure_write(const VelmorApi& api, uint32_t address, uint32_t length, const uint8_t* source) {
  return (api.*A.write)(address % A.zone_size, length, address / A.zone_size, source);
}

template <const SecureApi& A>
bool present_secure(VelmorSession& s, const Args& codes) {
  constexpr std::size_t kPasswordSize = 3, kSeedSize = 8;
  for (const auto& word : codes) {
    const std::size_t equals = word.find('=');
    const std::string key = equals == std::string::npos ? "" : word.substr(0, equals);
    const auto bytes = equals == std::string::npos ? std::nullopt : parse_hex(word.substr(equals + 1));
    if (key == "gc" && bytes && bytes->size() == kSeedSize) {
      std::array<uint8_t, kSeedSize> challenge{};
      std::random_device random;
      for (uint8_t& b : challenge) b = static_cast<uint8_t>(random());
      const StatusCode status = (s.api().*A.auth)(bytes->data(), challenge.data());
      if (!s.check(status, "authentication")) return false;
      std::printf("authenticated\n");
      continue;
    }
    const auto index = key.empty() ? std::nullopt : parse_number(key);
    if (!index || !bytes || bytes->size() != kPasswordSize) {
      std::fprintf(stderr, "%s: expected INDEX=HEX (a password of 3 bytes) or gc=HEX (the seed, 8 bytes)\n",
                   word.c_str());
      return false;
    }
    const StatusCode status = (s.api().*A.verify)(*index, (*bytes)[0], (*bytes)[1], (*bytes)[2]);
    if (status == ST_WRONG_PASSWORD) {
      std::printf("password %s refused\n", word.c_str());
      return false;
    }
    if (!s.check(status, "verify " + word)) return false;
    std::printf("password %s accepted\n", word.c_str());
  }
  return true;
}

template <const SecureApi& A>
DumpFamily secure_family() {
  return {A.name,        A.zones * A.zone_size + A.config_size, A.config_size, A.config_size, &open_secure,
          &secure_read<A>, &present_secure<A>,                   nullptr,       &secure_write<A>};
}

std::vector<DumpFamily> dump_families() {
  std::vector<DumpFamily> families{kSle4442, kSle4428, secure_family<kAt153Api>(), secure_family<kAt1608Api>()};
  const struct {
    const char* name;
    const at102::Family& family;
    DumpFamily row;
  } at_rows[] = {
      {"at102", at102::at102(), at102_family<&at102::at102>("at102", 195)},
      {"at1604", at102::at1604(), at102_family<&at102::at1604>("at1604", 184)},
      {"at6601", at102::at6601(), at102_family<&at102::at6601>("at6601", 184)},
  };
  for (const auto& row : at_rows) {
    DumpFamily family = row.row;
    family.size = at102::whole_size(row.family);
    families.push_back(family);
  }
  return families;
}

// ------------------------------------------------------------- detection

struct Detection {
  uint8_t type;
  const char* probe;  // the family whose probe answered
};
constexpr Detection kDetections[] = {
    {0x27, "AT153 / AT1608 (secure memory)"}, {0x28, "AT153 / AT1608 (secure memory)"},
    {0x43, "SLE4442"}, {0x44, "SLE4442"}, {0x41, "SLE4428"}, {0x42, "SLE4428"},
    {0x25, "AT102 family"}, {0x26, "AT102 family"}, {0x22, "AT102 family"},
};

// The bytes the probe judged, read again through the family's exports; and
// the family dump and restore take for the card.
struct Seen {
  std::string bytes;
  const char* family = nullptr;
};

Seen look_again(VelmorSession& s, uint8_t type) {
  const VelmorApi& api = s.api();
  uint8_t answer[4] = {};
  uint8_t id[2] = {};
  Seen seen;
  if (type == 0x27 || type == 0x28) {
    api.AT153_OpenCard(answer);
    api.AT153_CloseCard();
    seen.bytes = "answer to reset " + hex(answer, 4);
    seen.family = type == 0x27 ? "at153" : "at1608";
  } else if (type == 0x43 || type == 0x44 || type == 0x41 || type == 0x42) {
    const bool sle4442 = type == 0x43 || type == 0x44;
    if (sle4442) {
      api.SLE4442_OpenCard(answer);
      api.SLE4442_ReadChar(6, 2, id);
      api.SLE4442_CloseCard();
    } else {
      api.SLE4428_OpenCard(answer);
      api.SLE4428_ReadChar(6, 2, id);
      api.SLE4428_CloseCard();
    }
    seen.bytes = "answer to reset " + hex(answer, 4) + ", bytes 6-7 " + hex(id, 2);
    seen.family = sle4442 ? "sle4442" : "sle4428";
  } else if (type == 0x25 || type == 0x26 || type == 0x22) {
    api.AT102_OpenCard();
    api.AT1604_ReadChar(0, 2, 4, id);
    api.AT102_CloseCard();
    seen.bytes = "first two bytes " + hex(id, 2);
    seen.family = type == 0x22 ? "at6601" : type == 0x26 || (id[0] == 0x16 && id[1] == 0x04) ? "at1604" : "at102";
  }
  return seen;
}

// Runs detection; false (said why) when it failed. `family` gets the family
// dump and restore take for the card, or nullptr when they know none.
bool run_detection(VelmorSession& s, bool quiet, const char*& family) {
  uint8_t type = 0;
  if (!s.check(s.api().KDX_AutoTest(&type), "detect")) return false;
  const Seen seen = look_again(s, type);
  family = seen.family;
  const char* probe = "?";
  for (const Detection& d : kDetections) {
    if (d.type == type) probe = d.probe;
  }
  if (!quiet) {
    std::printf("card type 0x%02X (%u): %s probe; %s\n", type, type, probe,
                seen.bytes.empty() ? "no bytes to show" : seen.bytes.c_str());
  }
  return true;
}

bool detect(VelmorSession& s, const Args&) {
  s.close_card();  // detection powers the card itself and leaves it off
  const char* family = nullptr;
  return run_detection(s, false, family);
}

// ---------------------------------------------------------- dump, restore

// Families whose own dump and restore commands (FAMILY-dump TYPE FILE,
// FAMILY-restore TYPE FILE) take a card type: detection does not know them.
constexpr const char* kTypedFamilies[] = {"at24c", "at45d"};

bool typed_family(const std::string& name) {
  return std::find(std::begin(kTypedFamilies), std::end(kTypedFamilies), name) != std::end(kTypedFamilies);
}

// The family --family names, or the detected one; empty (said why) when
// neither gives one the tool can dump.
std::string family_name(VelmorSession& s) {
  if (!s.options().family.empty()) return s.options().family;
  const char* detected = nullptr;
  s.close_card();
  if (!run_detection(s, true, detected)) return "";
  if (detected == nullptr) std::fprintf(stderr, "the detected card has no dump here: give --family\n");
  return detected == nullptr ? "" : detected;
}

const DumpFamily* find_family(const std::string& name) {
  static const std::vector<DumpFamily> families = dump_families();
  for (const DumpFamily& family : families) {
    if (name == family.name) return &family;
  }
  std::string known;
  for (const DumpFamily& family : families) known += std::string(" ") + family.name;
  for (const char* typed : kTypedFamilies) known += std::string(" ") + typed;
  std::fprintf(stderr, "--family %s: not one of%s\n", name.c_str(), known.c_str());
  return nullptr;
}

// dump or restore of a typed family, by its own command.
bool run_typed(VelmorSession& s, const std::string& name, const char* what, const Args& args) {
  if (s.options().type.empty()) {
    std::fprintf(stderr, "--family %s needs --type N\n", name.c_str());
    return false;
  }
  const VelmorCommand* command = find_named(velmor_commands(), name + "-" + what);
  if (command == nullptr) {
    std::fprintf(stderr, "no %s-%s command\n", name.c_str(), what);
    return false;
  }
  Args typed_args{s.options().type};
  typed_args.insert(typed_args.end(), args.begin(), args.end());
  return command->run(s, typed_args);
}

bool read_card(const DumpFamily& family, VelmorSession& s, std::vector<uint8_t>& bytes, const char* what) {
  bytes.assign(family.size, 0);
  return image::in_pieces(what, family.size, family.read_piece, [&](std::size_t offset, std::size_t count) {
    return s.check(family.read(s.api(), static_cast<uint32_t>(offset), static_cast<uint32_t>(count),
                               bytes.data() + offset),
                   "read");
  });
}

bool dump(VelmorSession& s, const Args& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "expected FILE\n");
    return false;
  }
  const std::string name = family_name(s);
  if (typed_family(name)) return run_typed(s, name, "dump", args);
  const DumpFamily* family = name.empty() ? nullptr : find_family(name);
  std::vector<uint8_t> bytes;
  if (family == nullptr || !family->open(s) || !read_card(*family, s, bytes, "dump") ||
      !image::write_file(args[0], bytes)) {
    return false;
  }
  std::printf("%s: %zu bytes of the %s card\n", args[0].c_str(), bytes.size(), family->name);
  return true;
}

bool restore(VelmorSession& s, const Args& args) {
  if (args.empty()) {
    std::fprintf(stderr, "expected FILE [CODE...]\n");
    return false;
  }
  const std::string name = family_name(s);
  if (typed_family(name)) {
    if (args.size() > 1) std::fprintf(stderr, "(%s cards take no codes: ignored)\n", name.c_str());
    return run_typed(s, name, "restore", {args[0]});
  }
  const DumpFamily* family = name.empty() ? nullptr : find_family(name);
  std::vector<uint8_t> target;
  if (family == nullptr || !image::read_file(args[0], family->size, target)) return false;
  std::vector<uint8_t> card;
  if (!family->open(s) || !family->present(s, Args(args.begin() + 1, args.end())) ||
      !read_card(*family, s, card, "restore: reading")) {
    return false;
  }
  const bool written =
      image::in_pieces("restore: writing", family->size, family->write_piece, [&](std::size_t done, std::size_t piece) {
        bool needs_erase = false, differs = false;
        for (std::size_t i = done; i < done + piece; ++i) {
          needs_erase = needs_erase || (target[i] & ~card[i]) != 0;
          differs = differs || target[i] != card[i];
        }
        const auto address = static_cast<uint32_t>(done);
        const auto length = static_cast<uint32_t>(piece);
        if (family->erase != nullptr && needs_erase && !s.check(family->erase(s.api(), address, length), "erase")) {
          return false;
        }
        return !differs || s.check(family->write(s.api(), address, length, target.data() + done), "write");
      });
  if (!written || !read_card(*family, s, card, "restore: reading back")) return false;
  std::size_t differences = 0;
  for (uint32_t i = 0; i < family->size; ++i) {
    if (card[i] == target[i]) continue;
    if (differences++ < 32) std::printf("  byte %u: file %02X, card %02X\n", i, target[i], card[i]);
  }
  if (differences == 0) {
    std::printf("restored %u bytes to the %s card\n", family->size, family->name);
    return true;
  }
  std::printf("the card differs from %s in %zu byte%s (fixed bytes, or codes not presented)\n", args[0].c_str(),
              differences, differences == 1 ? "" : "s");
  return false;
}

const RegisterVelmor kCommands({
    {"detect", "", "card type detection: the code, the probe that answered, the bytes it saw", nullptr, &detect},
    {"dump", "FILE", "the whole card into FILE (--family NAME [--type N], else detected)", nullptr, &dump},
    {"restore", "FILE [CODE...]", "write FILE back to the card: codes, erase, write, read back", nullptr, &restore},
});

}  // namespace
}  // namespace kdx::tool
