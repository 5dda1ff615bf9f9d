/*
 * pci_names.cpp - pci.ids lookup.
 *
 * The database is a line format: a vendor line "vvvv  Name" at the left
 * margin, its devices "\tdddd  Name" beneath it, subsystems "\t\t..." beneath
 * those; '#' starts a comment. Only vendors and devices are kept; the class
 * list at the end ("C cc  Name") ends the device part.
 */
#include "pci_names.h"

#include <cstdlib>
#include <fstream>
#include <map>

namespace tolmusim {

namespace {

struct Database {
    std::map<uint16_t, std::string> vendors;
    std::map<uint32_t, std::string> devices; /* vendor << 16 | device */
};

bool HexId(const std::string &line, size_t at, uint16_t *id)
{
    if (line.size() < at + 6)
        return false;
    unsigned value = 0;
    for (size_t i = at; i < at + 4; i++) {
        char c = line[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = unsigned(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = unsigned(c - 'A' + 10);
        else
            return false;
        value = value << 4 | digit;
    }
    *id = uint16_t(value);
    return line[at + 4] == ' ';
}

std::string NameAfter(const std::string &line, size_t at)
{
    size_t start = line.find_first_not_of(' ', at);
    return start == std::string::npos ? "" : line.substr(start);
}

const Database &Load()
{
    static Database db;
    static bool loaded = false;
    if (loaded)
        return db;
    loaded = true;
    std::ifstream in(PciIdsPath());
    std::string line;
    bool haveVendor = false;
    uint16_t vendor = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] == 'C' && line.size() > 1 && line[1] == ' ')
            break; /* the class list follows the vendors */
        uint16_t id;
        if (line[0] != '\t') {
            haveVendor = HexId(line, 0, &id);
            if (haveVendor) {
                vendor = id;
                db.vendors[id] = NameAfter(line, 5);
            }
        } else if (haveVendor && line.size() > 1 && line[1] != '\t' && HexId(line, 1, &id)) {
            db.devices[uint32_t(vendor) << 16 | id] = NameAfter(line, 6);
        }
    }
    return db;
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

} // namespace tolmusim
