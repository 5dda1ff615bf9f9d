/*
 * lspci_dump.h - what the lspci reader collects per function and the
 * importer that reads and then builds it, shared by the reader of the lines
 * (lspci_import.cpp: line classes, mail mends, header lines, hex), the reader
 * of the known text lines (lspci_text.cpp) and the builder (lspci_build.cpp:
 * FunctionDescs, BARs, configuration bytes rebuilt from the text, the bus
 * tree). Not for callers: they use lspci_import.h.
 */
#ifndef TOLMU_SIM_CLI_LSPCI_DUMP_H
#define TOLMU_SIM_CLI_LSPCI_DUMP_H

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "lspci_import.h"
#include "machine_desc.h"

namespace tolmusim::lspci {

/* ------------------------------------------------------------ small parsers */

bool IsSpace(char c);
bool StartsWith(const std::string &s, const std::string &prefix);
/* s without blanks and carriage returns at either end. */
std::string Trim(const std::string &s);
/* The blank-separated words of s. */
std::vector<std::string> Tokens(const std::string &s);
/* "0x..." and two hex digits, as messages and notes show numbers. */
std::string Hex(uint64_t v);
std::string Hex2(unsigned v);
/* The last "[vvvv:dddd]" in s (or s itself being "vvvv:dddd"); npos-safe. */
bool FindIdPair(const std::string &s, uint16_t *first, uint16_t *second, size_t *at);
/* "vvvv:dddd" at the start of s (lspci -n). */
bool LeadingIdPair(const std::string &s, uint16_t *first, uint16_t *second);

/* ------------------------------------------------------------- the dump */

/* A BAR as a "Region" (or -v "Memory at") line shows it. */
struct TextBar {
    int index = -1; /* -1: the -v form, which has no index */
    bool io = false;
    bool is64 = false;
    bool prefetchable = false;
    bool isVirtual = false;
    bool disabled = false;
    std::optional<uint64_t> address;
    uint64_t size = 0; /* 0: no [size=] */
    int line = 0;
    bool used = false;
};

/* A bridge window as the text shows it. */
struct TextWindow {
    bool seen = false;
    bool enabled = false;
    bool wide = false;         /* 32-bit I/O, 64-bit prefetchable */
    bool prefetchable = false; /* CardBus memory windows */
    uint64_t base = 0;
    uint64_t limit = 0;
};

struct Dumped {
    int line = 0;
    size_t indent = 0;    /* of the header line */
    std::string location; /* "bb:dd.f" */
    unsigned domain = 0;
    int bus = 0, dev = 0, fn = 0;
    /* Header line. */
    std::string className;
    std::string name;
    std::optional<uint16_t> nnClass; /* base << 8 | sub */
    std::optional<uint16_t> nnVendor, nnDevice;
    std::optional<uint8_t> revision, progIf;
    /* Text. */
    std::optional<uint16_t> textSubVendor, textSubDevice;
    std::optional<uint8_t> textPin;
    bool flagsIrq = false;
    bool flagsBusMaster = false;
    std::optional<uint16_t> textCommand;       /* "Control: I/O+ Mem+ BusMaster+ ..." */
    std::optional<uint16_t> textBridgeControl; /* "BridgeCtl: Parity- SERR- ..." */
    std::optional<uint8_t> textLatency, textCacheLine, textSecLatency, textIrq, textMinGrant, textMaxLatency;
    std::optional<uint16_t> textStatus;
    std::optional<uint32_t> textRom;    /* expansion ROM register: address | enable */
    std::optional<uint32_t> textLegacy; /* CardBus: 16-bit legacy interface ports */
    bool inCapabilities = false;
    std::optional<std::array<uint8_t, 3>> textBus;
    std::vector<TextBar> bars;
    TextWindow io, mem, pref;
    TextWindow cbMem[2], cbIo[2];
    /* Hex. */
    std::array<uint8_t, 256> cfg{};
    std::bitset<256> offsetsSeen; /* by offset / 16, up to 0xFF0 */
    bool hexStarted = false;
    bool blankAfterHex = false;
    bool closed = false;

    bool Has(unsigned offset) const { return offset < 256 && offsetsSeen.test(offset / 16); }
    uint8_t B(unsigned o) const { return cfg[o]; }
    uint16_t W(unsigned o) const { return static_cast<uint16_t>(cfg[o] | cfg[o + 1] << 8); }
    uint32_t D(unsigned o) const { return static_cast<uint32_t>(W(o)) | static_cast<uint32_t>(W(o + 2)) << 16; }
    size_t Extent() const
    {
        for (int l = 15; l >= 0; l--)
            if (offsetsSeen.test(l))
                return static_cast<size_t>(l + 1) * 16;
        return 0;
    }
};

/* base << 8 | sub: from the hex, else the [cccc] of the header line, else
 * the class name lspci printed, looked up in pci.ids. */
std::optional<uint16_t> ClassOf(const Dumped &d);

/* lspci's order: bus, device, function. */
std::tuple<int, int, int> Order(const Dumped &d);

/* A domain number as lspci prints it ("0000"). */
std::string Domain4(unsigned domain);

class Importer {
  public:
    Importer(const std::string &fileName, std::string *error) : file_(fileName), error_(error) {}

    bool ReadLines(const std::string &text);
    std::optional<MachineDesc> Build(const ImportOptions &options);

  private:
    bool Fail(int line, const std::string &location, const std::string &message)
    {
        if (error_)
            *error_ = file_ + ":" + std::to_string(line) + ": " + (location.empty() ? "" : location + ": ") + message;
        return false;
    }

    bool ReadLine(int number, const std::string &raw);
    bool ReadHeader(int number, const std::string &t, size_t restAt, unsigned domain, int bus, int dev, int fn);
    bool ReadHexLine(int number, const std::string &t, size_t offsetDigits);
    bool ReadText(int number, const std::string &t);
    bool ReadRegion(int number, const std::string &t, int index, const std::string &body);
    bool ReadWindow(int number, const std::string &t, const std::string &value, TextWindow *w);

    bool BuildFunction(Dumped &d, FunctionDesc *f);
    bool BuildBars(Dumped &d, int header, FunctionDesc *f);
    void SynthesizeConfig(const Dumped &d, const FunctionDesc &f, FunctionDesc *out);
    bool PlaceInTree(std::vector<FunctionDesc> &fns);

    std::string file_;
    std::string *error_;
    std::vector<Dumped> dumped_;
    Dumped *open_ = nullptr;
    size_t indent_ = 0;                  /* of the line being read */
    std::vector<Dumped *> chosen_;       /* the imported domain's functions, in dump order */
    std::vector<std::string> mended_;    /* importNotes */
};

} // namespace tolmusim::lspci

#endif /* TOLMU_SIM_CLI_LSPCI_DUMP_H */
