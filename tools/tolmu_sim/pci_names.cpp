/*
 * pci_names.cpp - pci.ids lookup.
 *
 * The database is a line format; '#' starts a comment. The device part has
 * a vendor line "vvvv  Name" at the left margin, its devices "\tdddd  Name"
 * beneath it and subsystems "\t\t..." beneath those. The class list at the
 * end has a base class line "C cc  Name", its subclasses "\tss  Name" and
 * their programming interfaces "\t\tpp  Name" (not kept: lspci prints those
 * apart from the class name).
 */
#include "pci_names.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>

#include "hex.h"

namespace tolmusim {

namespace {

struct Database {
    std::map<uint16_t, std::string> vendors;
    std::map<uint32_t, std::string> devices;    /* vendor << 16 | device */
    std::map<uint8_t, std::string> classes;     /* base class */
    std::map<uint16_t, std::string> subclasses; /* base << 8 | sub */
};

/* `digits` hex digits at `at`, then a blank. */
bool IdAt(const std::string &line, size_t at, size_t digits, uint64_t *id)
{
    return line.size() > at + digits && line[at + digits] == ' ' && ParseHex(std::string_view(line).substr(at, digits), id);
}

std::string NameAfter(const std::string &line, size_t at)
{
    size_t start = line.find_first_not_of(' ', at);
    size_t end = line.find_last_not_of(" \r");
    return start == std::string::npos || end < start ? "" : line.substr(start, end - start + 1);
}

const Database &Load()
{
    static const Database db = [] {
        Database d;
        std::ifstream in(PciIdsPath());
        std::string line;
        bool inClasses = false, haveParent = false;
        uint64_t parent = 0, id = 0;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#')
                continue;
            if (line.size() > 1 && line[0] == 'C' && line[1] == ' ') {
                inClasses = true; /* the class list follows the vendors */
                haveParent = IdAt(line, 2, 2, &parent);
                if (haveParent)
                    d.classes[uint8_t(parent)] = NameAfter(line, 4);
                continue;
            }
            if (line[0] != '\t') {
                haveParent = !inClasses && IdAt(line, 0, 4, &parent);
                if (haveParent)
                    d.vendors[uint16_t(parent)] = NameAfter(line, 4);
                continue;
            }
            if (!haveParent || (line.size() > 1 && line[1] == '\t'))
                continue;
            if (inClasses && IdAt(line, 1, 2, &id))
                d.subclasses[uint16_t(parent << 8 | id)] = NameAfter(line, 3);
            else if (!inClasses && IdAt(line, 1, 4, &id))
                d.devices[uint32_t(parent << 16 | id)] = NameAfter(line, 5);
        }
        return d;
    }();
    return db;
}

bool SameWithoutCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

} // namespace

std::string PciIdsPath()
{
    const char *env = std::getenv("TOLMU_PCI_IDS");
    return env != nullptr && *env != 0 ? env : "/usr/share/misc/pci.ids";
}

std::string PciName(uint16_t vendor, uint16_t device)
{
    const Database &db = Load();
    auto v = db.vendors.find(vendor);
    if (v == db.vendors.end())
        return "";
    auto d = db.devices.find(uint32_t(vendor) << 16 | device);
    if (d == db.devices.end())
        return v->second;
    return v->second + " " + d->second;
}

std::string PciClassName(uint8_t base, uint8_t sub)
{
    const Database &db = Load();
    auto s = db.subclasses.find(uint16_t(base << 8 | sub));
    if (s != db.subclasses.end())
        return s->second;
    auto c = db.classes.find(base);
    return c == db.classes.end() ? "" : c->second;
}

std::optional<uint16_t> PciClassFromName(const std::string &name)
{
    const Database &db = Load();
    for (const auto &[code, n] : db.subclasses)
        if (SameWithoutCase(n, name))
            return code;
    for (const auto &[base, n] : db.classes)
        if (SameWithoutCase(n, name))
            return uint16_t(base << 8 | 0x80);
    return std::nullopt;
}

size_t PciClassNameCount()
{
    const Database &db = Load();
    return db.classes.size() + db.subclasses.size();
}

} // namespace tolmusim
