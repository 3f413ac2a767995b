// The application manifest, read back from the resources of built packed
// executables, as the system's loader finds it: RT_MANIFEST, id 1.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/harness.h"

namespace {

struct element {
    std::vector<std::string> path;  // local names from the root down to this element
    std::map<std::string, std::string> attributes;
    std::string text;
};

std::string local_name(const std::string &name) {
    size_t colon = name.find(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

std::string trim(const std::string &s) {
    size_t begin = s.find_first_not_of(" \t\r\n");
    size_t end = s.find_last_not_of(" \t\r\n");
    return begin == std::string::npos ? "" : s.substr(begin, end - begin + 1);
}

// A small reader for the manifest's XML: elements, attributes, text, and
// comments and declarations skipped. Enough for a well-formed manifest;
// malformed input fails the test through `ok`.
std::vector<element> parse_xml(const std::string &xml, bool *ok) {
    std::vector<element> elements;
    std::vector<size_t> open;  // indexes into elements
    *ok = true;
    size_t i = 0;
    while (i < xml.size()) {
        if (xml[i] != '<') {
            size_t next = xml.find('<', i);
            std::string text = xml.substr(i, next == std::string::npos ? std::string::npos : next - i);
            if (!open.empty()) {
                elements[open.back()].text += text;
            }
            i = next == std::string::npos ? xml.size() : next;
            continue;
        }
        if (xml.compare(i, 4, "<!--") == 0) {
            size_t end = xml.find("-->", i);
            i = end == std::string::npos ? xml.size() : end + 3;
            continue;
        }
        if (xml.compare(i, 2, "<?") == 0) {
            size_t end = xml.find("?>", i);
            i = end == std::string::npos ? xml.size() : end + 2;
            continue;
        }
        size_t end = xml.find('>', i);
        if (end == std::string::npos) {
            *ok = false;
            break;
        }
        std::string tag = xml.substr(i + 1, end - i - 1);
        i = end + 1;
        if (!tag.empty() && tag[0] == '/') {
            if (open.empty() || elements[open.back()].path.back() != local_name(trim(tag.substr(1)))) {
                *ok = false;
            } else {
                open.pop_back();
            }
            continue;
        }
        bool self_closing = !tag.empty() && tag.back() == '/';
        if (self_closing) {
            tag.pop_back();
        }
        element e;
        size_t p = tag.find_first_of(" \t\r\n");
        std::string name = tag.substr(0, p);
        e.path = open.empty() ? std::vector<std::string>{} : elements[open.back()].path;
        e.path.push_back(local_name(name));
        while (p != std::string::npos && p < tag.size()) {
            p = tag.find_first_not_of(" \t\r\n", p);
            if (p == std::string::npos) {
                break;
            }
            size_t eq = tag.find('=', p);
            if (eq == std::string::npos || eq + 1 >= tag.size()) {
                *ok = false;
                break;
            }
            char quote = tag[eq + 1];
            size_t close = tag.find(quote, eq + 2);
            if ((quote != '"' && quote != '\'') || close == std::string::npos) {
                *ok = false;
                break;
            }
            e.attributes[trim(tag.substr(p, eq - p))] = tag.substr(eq + 2, close - eq - 2);
            p = close + 1;
        }
        elements.push_back(e);
        if (!self_closing) {
            open.push_back(elements.size() - 1);
        }
    }
    if (!open.empty()) {
        *ok = false;
    }
    return elements;
}

std::string joined(const std::vector<std::string> &path) {
    std::string out;
    for (const auto &part : path) {
        out += "/" + part;
    }
    return out;
}

std::vector<const element *> find_all(const std::vector<element> &elements, const std::string &path) {
    std::vector<const element *> found;
    for (const auto &e : elements) {
        if (joined(e.path) == path) {
            found.push_back(&e);
        }
    }
    return found;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return (char)tolower(c); });
    return s;
}

// The manifest resource of `exe`, or "" when there is none.
std::string manifest_of(const std::wstring &exe) {
    HMODULE image = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (image == nullptr) {
        ADD_FAILURE() << "cannot open " << harness::narrow(exe) << " as a data file: " << GetLastError();
        return "";
    }
    std::string text;
    HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    if (found != nullptr) {
        HGLOBAL loaded = LoadResource(image, found);
        const char *bytes = loaded ? static_cast<const char *>(LockResource(loaded)) : nullptr;
        if (bytes != nullptr) {
            text.assign(bytes, SizeofResource(image, found));
        }
    }
    FreeLibrary(image);
    return text;
}

void check_manifest(const std::wstring &exe) {
    SCOPED_TRACE(harness::narrow(exe));
    std::string text = manifest_of(exe);
    ASSERT_NE(text, "") << "no RT_MANIFEST resource with id 1";
    bool ok = false;
    std::vector<element> xml = parse_xml(text, &ok);
    ASSERT_TRUE(ok) << "not well-formed:\n" << text;

    auto level = find_all(xml, "/assembly/trustInfo/security/requestedPrivileges/requestedExecutionLevel");
    ASSERT_EQ(level.size(), 1u);
    EXPECT_EQ(level[0]->attributes.at("level"), "asInvoker");
    EXPECT_EQ(level[0]->attributes.at("uiAccess"), "false");

    auto long_paths = find_all(xml, "/assembly/application/windowsSettings/longPathAware");
    ASSERT_EQ(long_paths.size(), 1u);
    EXPECT_EQ(trim(long_paths[0]->text), "true");
    EXPECT_EQ(long_paths[0]->attributes.at("xmlns"), "http://schemas.microsoft.com/SMI/2016/WindowsSettings");

    auto identity = find_all(xml, "/assembly/dependency/dependentAssembly/assemblyIdentity");
    ASSERT_EQ(identity.size(), 1u);
    EXPECT_EQ(identity[0]->attributes.at("type"), "win32");
    EXPECT_EQ(identity[0]->attributes.at("name"), "Microsoft.Windows.Common-Controls");
    EXPECT_EQ(identity[0]->attributes.at("version"), "6.0.0.0");
    EXPECT_EQ(identity[0]->attributes.at("publicKeyToken"), "6595b64144ccf1df");

    auto compatibility = find_all(xml, "/assembly/compatibility");
    ASSERT_EQ(compatibility.size(), 1u);
    EXPECT_EQ(compatibility[0]->attributes.at("xmlns"), "urn:schemas-microsoft-com:compatibility.v1");
    std::set<std::string> systems;
    for (const element *os : find_all(xml, "/assembly/compatibility/application/supportedOS")) {
        systems.insert(lower(os->attributes.at("Id")));
    }
    // The compatibility GUIDs Windows publishes for Vista, 7, 8, 8.1 and 10.
    std::set<std::string> vista_to_ten = {
        "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"};
    EXPECT_EQ(systems, vista_to_ten);
}

TEST(Manifest, PackedExecutableCarriesTheApplicationManifest) { check_manifest(harness::bin_path(L"console_app.exe")); }

TEST(Manifest, ExecutableLinkedFromAHandMadeBlockCarriesItToo) {
    check_manifest(harness::bin_path(L"console_badhead.exe"));
}

TEST(Manifest, ReaderRejectsAManifestWithoutTheExecutionLevel) {
    // The checks above must be able to fail: a manifest that lacks an item
    // yields no element for it.
    bool ok = false;
    auto xml = parse_xml("<assembly><trustInfo><security/></trustInfo></assembly>", &ok);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(find_all(xml, "/assembly/trustInfo/security/requestedPrivileges/requestedExecutionLevel").empty());
    parse_xml("<assembly><trustInfo></assembly>", &ok);
    EXPECT_FALSE(ok);
}

}  // namespace
