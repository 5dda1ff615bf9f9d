// Shared helpers of the lspci importer's tests.
#ifndef TOLMU_TESTS_LSPCI_TEST_H
#define TOLMU_TESTS_LSPCI_TEST_H

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "lspci_import.h"
#include "machine_desc.h"

namespace lspcitest {

using tolmusim::BarDesc;
using tolmusim::FunctionDesc;
using tolmusim::MachineDesc;

inline std::string ReadData(const std::string &name)
{
    std::string here = __FILE__;
    std::string path = here.substr(0, here.find_last_of('/') + 1) + "data/" + name;
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot open " << path;
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Imports text; a failure to import fails the test with the importer's message.
inline MachineDesc Import(const std::string &text, const std::string &name)
{
    std::string error;
    std::optional<MachineDesc> desc = tolmusim::ImportLspci(text, name, &error);
    EXPECT_TRUE(desc.has_value()) << name << ": " << error;
    return desc ? *desc : MachineDesc{};
}

inline MachineDesc ImportData(const std::string &name) { return Import(ReadData(name), name); }

inline const FunctionDesc *Find(const MachineDesc &m, const std::string &location)
{
    for (const FunctionDesc &f : m.functions)
        if (f.location == location)
            return &f;
    return nullptr;
}

// The BARs of a function as one line each, in register order.
inline std::string BarList(const FunctionDesc &f)
{
    std::ostringstream s;
    for (const BarDesc &b : f.bars) {
        s << "BAR " << b.index << " " << b.type << " size 0x" << std::hex << b.size << (b.prefetchable ? " pref" : "")
          << " at " << (b.address ? "0x" : "-");
        if (b.address)
            s << *b.address;
        s << std::dec << "\n";
    }
    return s.str();
}

inline std::string Notes(const FunctionDesc &f)
{
    std::string all;
    for (const std::string &n : f.notes)
        all += n + "; ";
    return all;
}

inline std::string TestName(std::string n)
{
    for (char &c : n)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return n;
}

} // namespace lspcitest

#endif
