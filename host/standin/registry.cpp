/*
 * registry.cpp - an in-memory registry below the services key, and the three
 * Rtl registry routines the driver calls.
 *
 * Keys are paths relative to the services key ("tolmu\\Parameters"); key and
 * value names compare case-insensitively and keep the spelling they were
 * created with. The services key itself always exists, as on every Windows
 * installation; every other key exists only once it has been created. Values are stored as written: a REG_SZ written through
 * RegSetWideString carries its 16-bit terminator in its data, as Windows
 * stores strings written by the usual tools.
 */
#include <algorithm>
#include <cctype>
#include <map>

#include "internal.h"

namespace standin {

namespace {

struct StoredValue {
    std::string name; /* as first written */
    RegValue value;
};

struct Key {
    std::string name; /* path as first created */
    std::map<std::string, StoredValue> values; /* by lower-case name */
};

/* Every key by its normalised path (lower case, no leading or trailing
 * backslash, no empty components). Parents always exist for a child. The
 * services key itself is the empty path and is never stored: it always
 * exists. */
std::map<std::string, Key> keys;
Key servicesKey;

NTSTATUS failQueryStatus = STATUS_SUCCESS;
unsigned failQueryAfter = 0;
NTSTATUS failCreateStatus = STATUS_SUCCESS;
/* RtlQueryRegistryValues with RTL_REGISTRY_OPTIONAL on a missing key: false
 * fails the call (the documented behaviour, the default), true succeeds
 * without a single query routine call (the other reading of the flag). */
bool optionalMissingKeySucceeds = false;

/* What an absolute path to the services key starts with. */
const char kServicesRoot[] = "\\registry\\machine\\system\\currentcontrolset\\services";

std::string Lower(const std::string &s)
{
    std::string l = s;
    for (char &c : l)
        c = (char)tolower((unsigned char)c);
    return l;
}

std::vector<std::string> Components(const std::string &path)
{
    std::vector<std::string> parts;
    std::string cur;
    for (char c : path) {
        if (c == '\\') {
            if (!cur.empty())
                parts.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty())
        parts.push_back(cur);
    return parts;
}

std::string Join(const std::vector<std::string> &parts, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; i++) {
        if (i != 0)
            s += '\\';
        s += parts[i];
    }
    return s;
}

std::string Normalise(const std::string &path)
{
    std::vector<std::string> parts = Components(path);
    return Lower(Join(parts, parts.size()));
}

Key *FindKey(const std::string &path)
{
    std::string n = Normalise(path);
    if (n.empty())
        return &servicesKey;
    auto it = keys.find(n);
    return it == keys.end() ? nullptr : &it->second;
}

Key &CreateKeyAndParents(const std::string &path)
{
    std::vector<std::string> parts = Components(path);
    Key *key = nullptr;
    for (size_t n = 1; n <= parts.size(); n++) {
        std::string spelled = Join(parts, n);
        Key &k = keys[Lower(spelled)];
        if (k.name.empty())
            k.name = spelled;
        key = &k;
    }
    if (key == nullptr)
        key = &servicesKey;
    return *key;
}

void StoreValue(Key &key, const std::string &name, const RegValue &value)
{
    StoredValue &v = key.values[Lower(name)];
    if (v.name.empty())
        v.name = name;
    v.value = value;
}

/* The key a driver's (RelativeTo, Path) pair names, as a path below the
 * services key; false when the pair is outside what this registry holds. */
bool ResolvePath(ULONG relativeTo, PCWSTR path, std::string &out)
{
    std::string p = detail::Narrow(path);
    switch (relativeTo & ~(ULONG)RTL_REGISTRY_OPTIONAL) {
    case RTL_REGISTRY_SERVICES:
        out = p;
        return true;
    case RTL_REGISTRY_ABSOLUTE: {
        std::string l = Lower(p);
        size_t n = sizeof(kServicesRoot) - 1;
        if (l.compare(0, n, kServicesRoot) != 0 || (l.size() > n && l[n] != '\\'))
            return false;
        out = p.substr(n);
        return true;
    }
    default:
        return false;
    }
}

/* The length in bytes of a default value given with DefaultLength 0: strings
 * are measured up to and including their terminator (two for REG_MULTI_SZ). */
ULONG ComputedDefaultLength(ULONG type, const void *data)
{
    const char16_t *w = static_cast<const char16_t *>(data);
    if (w == nullptr)
        return 0;
    size_t units = 0;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        while (w[units] != 0)
            units++;
        units++;
    } else if (type == REG_MULTI_SZ) {
        while (w[units] != 0 || w[units + 1] != 0)
            units++;
        units += 2;
    }
    return (ULONG)(units * sizeof(char16_t));
}

} // namespace

void RegCreateKey(const std::string &path)
{
    CreateKeyAndParents(path);
}

bool RegKeyExists(const std::string &path)
{
    return FindKey(path) != nullptr;
}

/* Setting a value creates its key (and the key's parents) when needed, so a
 * test can describe the registry value by value. */
void RegSetValue(const std::string &path, const std::string &name, ULONG type, const std::vector<uint8_t> &data)
{
    StoreValue(CreateKeyAndParents(path), name, RegValue{type, data});
}

void RegSetDword(const std::string &path, const std::string &name, ULONG value)
{
    std::vector<uint8_t> data(4);
    memcpy(data.data(), &value, 4);
    RegSetValue(path, name, REG_DWORD, data);
}

void RegSetWideString(const std::string &path, const std::string &name, const std::u16string &text)
{
    std::vector<uint8_t> data((text.size() + 1) * sizeof(char16_t), 0);
    memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
    RegSetValue(path, name, REG_SZ, data);
}

/* Deletes the key with everything below it. */
void RegDeleteKey(const std::string &path)
{
    std::string n = Normalise(path);
    for (auto it = keys.begin(); it != keys.end();) {
        if (it->first == n || (it->first.size() > n.size() && it->first.compare(0, n.size(), n) == 0 &&
                               it->first[n.size()] == '\\'))
            it = keys.erase(it);
        else
            ++it;
    }
}

std::optional<RegValue> RegGetValue(const std::string &path, const std::string &name)
{
    Key *key = FindKey(path);
    if (key == nullptr)
        return std::nullopt;
    auto it = key->values.find(Lower(name));
    if (it == key->values.end())
        return std::nullopt;
    return it->second.value;
}

std::optional<ULONG> RegGetDword(const std::string &path, const std::string &name)
{
    std::optional<RegValue> v = RegGetValue(path, name);
    if (!v || v->type != REG_DWORD || v->data.size() != 4)
        return std::nullopt;
    ULONG value;
    memcpy(&value, v->data.data(), 4);
    return value;
}

void RegFailQuery(NTSTATUS status, unsigned failAfter)
{
    failQueryStatus = status;
    failQueryAfter = failAfter;
}

void RegFailCreateKey(NTSTATUS status)
{
    failCreateStatus = status;
}

void RegOptionalMissingKeySucceeds(bool succeed)
{
    optionalMissingKeySucceeds = succeed;
}

namespace detail {

void ResetRegistry()
{
    keys.clear();
    servicesKey = Key();
    optionalMissingKeySucceeds = false;
    failQueryStatus = STATUS_SUCCESS;
    failQueryAfter = 0;
    failCreateStatus = STATUS_SUCCESS;
}

} // namespace detail

} // namespace standin

using namespace standin;

/*
 * RtlQueryRegistryValues for the table entries the driver builds: a named
 * value with a query routine, no flags or RTL_QUERY_REGISTRY_REQUIRED, and a
 * default. Entries are taken in order up to the one with neither a routine nor
 * a name.
 *
 * A key that does not exist fails the call with STATUS_OBJECT_NAME_NOT_FOUND,
 * with or without RTL_REGISTRY_OPTIONAL, before any entry is looked at: the
 * DDK page of RtlQueryRegistryValues gives that status for "The Path
 * parameter does not match a valid key" and gives the flag no effect on it
 * ("Specifies that the key referenced by this parameter and the Path
 * parameter are optional"); ReactOS's implementation masks the flag out and
 * fails the same way. No query routine is called and no default is handed
 * over. Since the flag's name invites the other reading,
 * RegOptionalMissingKeySucceeds(true) makes such a call return
 * STATUS_SUCCESS instead, still without a routine call or default, so a
 * caller can be shown to cope with both.
 *
 * KNOWN DIFFERENCE from Windows: REG_EXPAND_SZ is not expanded and
 * REG_MULTI_SZ is passed as one block rather than once per string; the
 * driver reads only 32-bit values. Sub-key entries and whole-key enumeration
 * (an entry with a routine but no name) are not modelled and fail the call
 * with STATUS_NOT_IMPLEMENTED.
 */
extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                 PVOID Context, PVOID Environment)
{
    detail::CheckPassiveLevel("RtlQueryRegistryValues");
    if (failQueryStatus != STATUS_SUCCESS && failQueryAfter == 0)
        return failQueryStatus;

    std::string path;
    if (QueryTable == nullptr || !ResolvePath(RelativeTo, Path, path))
        return STATUS_INVALID_PARAMETER;
    Key *key = FindKey(path);
    if (key == nullptr) {
        if (optionalMissingKeySucceeds && (RelativeTo & RTL_REGISTRY_OPTIONAL) != 0)
            return STATUS_SUCCESS;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }

    unsigned processed = 0;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine != nullptr || entry->Name != nullptr;
         entry++) {
        if (failQueryStatus != STATUS_SUCCESS && processed == failQueryAfter)
            return failQueryStatus;
        processed++;

        if (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_NOVALUE))
            return STATUS_NOT_IMPLEMENTED;
        if (entry->Name == nullptr)
            return STATUS_NOT_IMPLEMENTED;
        bool direct = (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
        if (!direct && entry->QueryRoutine == nullptr)
            return STATUS_INVALID_PARAMETER;

        ULONG type;
        std::vector<uint8_t> data; /* a copy: the routine cannot change the store */
        auto it = key->values.find(Lower(detail::Narrow(entry->Name)));
        if (it != key->values.end()) {
            type = it->second.value.type;
            data = it->second.value.data;
        } else if (entry->DefaultType != REG_NONE) {
            type = entry->DefaultType;
            ULONG length = entry->DefaultLength;
            if (length == 0 && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ))
                length = ComputedDefaultLength(type, entry->DefaultData);
            const uint8_t *d = static_cast<const uint8_t *>(entry->DefaultData);
            if (d != nullptr)
                data.assign(d, d + length);
        } else if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        } else {
            continue;
        }

        if (direct) {
            /* Only what fits in the 32 bits at EntryContext: the case a
             * direct query of a number needs. */
            if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ || data.size() > sizeof(ULONG))
                return STATUS_NOT_IMPLEMENTED;
            memcpy(entry->EntryContext, data.data(), data.size());
            continue;
        }

        uint8_t empty = 0;
        NTSTATUS status = entry->QueryRoutine(entry->Name, type, data.empty() ? &empty : data.data(),
                                              (ULONG)data.size(), Context, entry->EntryContext);
        if (!NT_SUCCESS(status))
            return status;
    }
    if (failQueryStatus != STATUS_SUCCESS)
        return failQueryStatus;
    return STATUS_SUCCESS;
}

/*
 * Creates the last key of the path, or opens it when it exists already.
 * A missing key on the way fails the call with STATUS_OBJECT_NAME_NOT_FOUND
 * and creates nothing: the DDK page of RtlCreateRegistryKey says "It does
 * not create missing keys in the path to the specified key. If any keys in
 * the path are missing, the call will fail", and that is the status the
 * registry gives for a path with a missing component (as ReactOS's and
 * Wine's NtCreateKey do). A caller that needs a deeper path creates it one
 * level at a time.
 */
extern "C" NTSTATUS NTAPI RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    detail::CheckPassiveLevel("RtlCreateRegistryKey");
    if (failCreateStatus != STATUS_SUCCESS)
        return failCreateStatus;
    std::string path;
    if (!ResolvePath(RelativeTo, Path, path))
        return STATUS_INVALID_PARAMETER;
    std::vector<std::string> parts = Components(path);
    if (!parts.empty() && FindKey(Join(parts, parts.size() - 1)) == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    CreateKeyAndParents(path);
    return STATUS_SUCCESS;
}

/*
 * Writes one value. A missing key is created when its parent exists, and only
 * then: the DDK page of RtlWriteRegistryValue says "If the specified key does
 * not exist, the routine attempts to create the key. For this attempt to
 * succeed, the new key must be a direct subkey of the key that is referred
 * to by the Path parameter". A deeper missing path fails with
 * STATUS_OBJECT_NAME_NOT_FOUND and writes nothing.
 */
extern "C" NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                                PVOID ValueData, ULONG ValueLength)
{
    detail::CheckPassiveLevel("RtlWriteRegistryValue");
    std::string path;
    if (ValueName == nullptr || !ResolvePath(RelativeTo, Path, path))
        return STATUS_INVALID_PARAMETER;
    Key *key = FindKey(path);
    if (key == nullptr) {
        std::vector<std::string> parts = Components(path);
        if (FindKey(Join(parts, parts.size() - 1)) == nullptr)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        key = &CreateKeyAndParents(path);
    }
    const uint8_t *d = static_cast<const uint8_t *>(ValueData);
    std::vector<uint8_t> data;
    if (d != nullptr)
        data.assign(d, d + ValueLength);
    StoreValue(*key, detail::Narrow(ValueName), RegValue{ValueType, data});
    return STATUS_SUCCESS;
}
