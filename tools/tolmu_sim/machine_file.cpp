/*
 * machine_file.cpp - the JSON machine file, read with nlohmann::json.
 *
 * JSON keeps no positions once parsed; a syntax error carries its byte
 * offset, and a wrong value is located by the line where its function's
 * location string first appears in the text.
 */
#include "machine_file.h"

#include <cctype>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "hex.h"

namespace tolmusim {

namespace {

using nlohmann::json;

/* A value error: the message, and the location of the function it is in. */
struct BadValue : std::runtime_error {
    explicit BadValue(const std::string &what) : std::runtime_error(what) {}
};

/* A number given as a JSON number or as a hex string ("0x10ee" or "10ee"). */
uint64_t HexNumber(const json &v, const std::string &key, uint64_t max)
{
    uint64_t value = 0;
    if (v.is_number_unsigned()) {
        value = v.get<uint64_t>();
    } else if (v.is_number_integer()) {
        if (v.get<int64_t>() < 0)
            throw BadValue("\"" + key + "\" is negative");
        value = uint64_t(v.get<int64_t>());
    } else if (v.is_string()) {
        if (!ParseHexPrefixed(v.get<std::string>(), &value))
            throw BadValue("\"" + key + "\": \"" + v.get<std::string>() + "\" is not a hex number");
    } else {
        throw BadValue("\"" + key + "\" must be a number or a hex string");
    }
    if (value > max)
        throw BadValue("\"" + key + "\" is too large");
    return value;
}

uint64_t PlainNumber(const json &v, const std::string &key, uint64_t max)
{
    if (!v.is_number_unsigned() && !v.is_number_integer())
        throw BadValue("\"" + key + "\" must be a number");
    return HexNumber(v, key, max);
}

std::string Text(const json &v, const std::string &key)
{
    if (!v.is_string())
        throw BadValue("\"" + key + "\" must be a string");
    return v.get<std::string>();
}

void OnlyKeys(const json &object, const std::set<std::string> &keys, const std::string &what)
{
    for (auto it = object.begin(); it != object.end(); ++it)
        if (keys.count(it.key()) == 0)
            throw BadValue(what + ": unknown key \"" + it.key() + "\"");
}

BarDesc ReadBar(const json &j)
{
    if (!j.is_object())
        throw BadValue("each BAR must be an object");
    OnlyKeys(j, {"index", "type", "size", "prefetchable", "address"}, "BAR");
    if (!j.contains("index") || !j.contains("type") || !j.contains("size"))
        throw BadValue("a BAR needs \"index\", \"type\" and \"size\"");
    BarDesc b;
    b.index = int(PlainNumber(j["index"], "index", 5));
    b.type = Text(j["type"], "type");
    b.size = HexNumber(j["size"], "size", 1ull << 40);
    if (j.contains("prefetchable")) {
        if (!j["prefetchable"].is_boolean())
            throw BadValue("\"prefetchable\" must be true or false");
        b.prefetchable = j["prefetchable"].get<bool>();
    }
    if (j.contains("address"))
        b.address = HexNumber(j["address"], "address", ~0ull);
    return b;
}

FunctionDesc ReadFunction(const json &j)
{
    if (!j.is_object())
        throw BadValue("each function must be an object");
    OnlyKeys(j,
             {"location", "behind", "model", "name", "vendor", "device", "revision", "class", "header", "multifunction",
              "subsystem", "interrupt_pin", "bars", "bus_numbers", "config", "notes", "root_bus"},
             "function");
    FunctionDesc f;
    if (!j.contains("location"))
        throw BadValue("a function needs \"location\"");
    f.location = Text(j["location"], "location");
    if (j.contains("behind"))
        f.behind = Text(j["behind"], "behind");
    if (j.contains("root_bus")) {
        if (j.contains("behind"))
            throw BadValue("\"root_bus\" and \"behind\" exclude each other");
        f.rootBus = uint8_t(HexNumber(j["root_bus"], "root_bus", 0xFF));
    }
    if (j.contains("model"))
        f.model = Text(j["model"], "model");
    if (j.contains("name"))
        f.name = Text(j["name"], "name");
    if (j.contains("vendor"))
        f.vendor = uint16_t(HexNumber(j["vendor"], "vendor", 0xFFFF));
    if (j.contains("device"))
        f.device = uint16_t(HexNumber(j["device"], "device", 0xFFFF));
    if (j.contains("revision"))
        f.revision = uint8_t(HexNumber(j["revision"], "revision", 0xFF));
    if (j.contains("class"))
        f.classCode = uint32_t(HexNumber(j["class"], "class", 0xFFFFFF));
    if (j.contains("header"))
        f.header = int(PlainNumber(j["header"], "header", 2));
    if (j.contains("multifunction")) {
        if (!j["multifunction"].is_boolean())
            throw BadValue("\"multifunction\" must be true or false");
        f.multifunction = j["multifunction"].get<bool>();
    }
    if (j.contains("subsystem")) {
        std::string s = Text(j["subsystem"], "subsystem");
        size_t colon = s.find(':');
        if (colon == std::string::npos)
            throw BadValue("\"subsystem\" must be \"vvvv:dddd\"");
        f.subVendor = uint16_t(HexNumber(json(s.substr(0, colon)), "subsystem", 0xFFFF));
        f.subDevice = uint16_t(HexNumber(json(s.substr(colon + 1)), "subsystem", 0xFFFF));
    }
    if (j.contains("interrupt_pin"))
        f.interruptPin = uint8_t(PlainNumber(j["interrupt_pin"], "interrupt_pin", 4));
    if (j.contains("bars")) {
        if (!j["bars"].is_array())
            throw BadValue("\"bars\" must be an array");
        for (const json &b : j["bars"])
            f.bars.push_back(ReadBar(b));
    }
    if (j.contains("bus_numbers")) {
        const json &n = j["bus_numbers"];
        if (!n.is_array() || n.size() != 3)
            throw BadValue("\"bus_numbers\" must be [primary, secondary, subordinate]");
        std::array<uint8_t, 3> numbers{};
        for (size_t i = 0; i < 3; i++)
            numbers[i] = uint8_t(HexNumber(n[i], "bus_numbers", 0xFF));
        f.busNumbers = numbers;
    }
    if (j.contains("config")) {
        std::string hex;
        for (char c : Text(j["config"], "config"))
            if (!std::isspace(static_cast<unsigned char>(c)))
                hex.push_back(c);
        if (hex.size() % 2 != 0 || hex.size() > 512)
            throw BadValue("\"config\" must be up to 256 hex bytes");
        for (size_t i = 0; i < hex.size(); i += 2) {
            uint64_t byte = 0;
            if (!ParseHex(std::string_view(hex).substr(i, 2), &byte))
                throw BadValue("\"config\" holds a character that is not hex");
            f.config.push_back(uint8_t(byte));
        }
    }
    if (j.contains("notes")) {
        if (!j["notes"].is_array())
            throw BadValue("\"notes\" must be an array of strings");
        for (const json &n : j["notes"])
            f.notes.push_back(Text(n, "notes"));
    }
    return f;
}

/* The line where "location" is first given as this text, 0 if not found. */
int LineOfLocation(const std::string &text, const std::string &location)
{
    if (location.empty())
        return 0;
    size_t at = text.find("\"" + location + "\"");
    return at == std::string::npos ? 0 : LineOfOffset(text, at);
}

} // namespace

int LineOfOffset(const std::string &text, size_t offset)
{
    int line = 1;
    for (size_t i = 0; i < offset && i < text.size(); i++)
        if (text[i] == '\n')
            line++;
    return line;
}

std::optional<MachineDesc> ParseMachineJson(const std::string &text, const std::string &fileName, std::string *error)
{
    auto fail = [&](int line, const std::string &message) -> std::optional<MachineDesc> {
        if (error != nullptr)
            *error = fileName + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + message;
        return std::nullopt;
    };

    json j;
    try {
        j = json::parse(text);
    } catch (const json::parse_error &e) {
        /* The byte offset is one past the character that stopped the parser. */
        size_t at = e.byte > 0 ? e.byte - 1 : 0;
        std::string what = e.what();
        size_t cut = what.find("syntax error");
        return fail(LineOfOffset(text, at), "malformed JSON: " + (cut != std::string::npos ? what.substr(cut) : what));
    } catch (const json::exception &e) {
        /* A number too large for any type (out_of_range 406) is not a parse
         * error to the library, but the file is just as unreadable. */
        return fail(1, std::string("malformed JSON: ") + e.what());
    }
    if (!j.is_object())
        return fail(1, "a machine file is a JSON object");

    MachineDesc desc;
    desc.source = fileName;
    try {
        OnlyKeys(j, {"name", "description", "controller", "params", "functions"}, "machine");
        if (j.contains("name"))
            desc.name = Text(j["name"], "name");
        if (j.contains("description"))
            desc.description = Text(j["description"], "description");
        if (j.contains("controller"))
            desc.controller = Text(j["controller"], "controller");
        if (j.contains("params")) {
            if (!j["params"].is_object())
                throw BadValue("\"params\" must be an object of name: number");
            for (auto it = j["params"].begin(); it != j["params"].end(); ++it) {
                std::string name = CanonicalParameterName(it.key());
                if (name.empty())
                    throw BadValue("unknown parameter \"" + it.key() + "\"");
                desc.params[name] = uint32_t(HexNumber(it.value(), it.key(), 0xFFFFFFFF));
            }
        }
        if (!j.contains("functions") || !j["functions"].is_array())
            throw BadValue("\"functions\" must be an array of functions");
    } catch (const BadValue &e) {
        return fail(0, e.what());
    }

    size_t index = 0;
    for (const json &fj : j["functions"]) {
        std::string location =
            fj.is_object() && fj.contains("location") && fj["location"].is_string() ? fj["location"].get<std::string>()
                                                                                      : "";
        int line = LineOfLocation(text, location);
        try {
            FunctionDesc f = ReadFunction(fj);
            f.line = line;
            desc.functions.push_back(std::move(f));
        } catch (const BadValue &e) {
            return fail(line, "functions[" + std::to_string(index) + "]" +
                                  (location.empty() ? "" : " (" + location + ")") + ": " + e.what());
        }
        index++;
    }
    return desc;
}

} // namespace tolmusim
