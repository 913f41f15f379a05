// Properties of the built plug-in file as the dynamic linker sees them: what it
// needs, where it looks for it, and which of its symbols other objects can see.

#include <cxxabi.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/Subprocess.h"

using ombrix::testing::runSubprocess;
using ombrix::testing::SubprocessOptions;

namespace {

const std::string kPlugin = OMBRIX_PLUGIN_LIBRARY;

std::string runTool(const std::string& tool, const std::vector<std::string>& arguments)
{
    SubprocessOptions options;
    options.arguments = arguments;
    options.environment["LC_ALL"] = "C";
    const auto result = runSubprocess(tool, options);
    EXPECT_TRUE(result.succeeded()) << tool << ": " << result.describe();
    return result.standardOutput;
}

// The bracketed value of every `readelf -d` line of the given tag, e.g.
// " 0x...01 (NEEDED)   Shared library: [libc.so.6]".
std::vector<std::string> dynamicEntries(const std::string& readelfOutput, const std::string& tag)
{
    std::vector<std::string> values;
    std::istringstream lines(readelfOutput);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("(" + tag + ")") == std::string::npos) {
            continue;
        }
        const auto open = line.find('[');
        const auto close = line.rfind(']');
        if (open != std::string::npos && close != std::string::npos && close > open) {
            values.push_back(line.substr(open + 1, close - open - 1));
        }
    }
    return values;
}

struct DynamicSymbol {
    char kind; // nm's letter: T, D, B, R (strong), W, V (weak), u (unique), ...
    std::string mangled;
    std::string demangled;
};

std::string demangle(const std::string& name)
{
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> text(
        abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), &std::free);
    return status == 0 && text ? std::string(text.get()) : name;
}

std::vector<DynamicSymbol> exportedSymbols()
{
    std::vector<DynamicSymbol> symbols;
    std::istringstream lines(runTool("nm", {"-D", "--defined-only", kPlugin}));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address;
        std::string kind;
        std::string name;
        if (fields >> address >> kind >> name && kind.size() == 1) {
            symbols.push_back({kind[0], name, demangle(name)});
        }
    }
    return symbols;
}

// The qualified name of the entity a demangled symbol denotes, without
// template arguments, parameters or a function template's return type:
// "std::__allocated_ptr<A> std::__allocate_guarded<A>(A&)" -> "std::__allocate_guarded",
// "vtable for std::_Sp_counted_base<(_Lock_policy)2>" -> "std::_Sp_counted_base".
std::string entityName(std::string demangled)
{
    for (const char* prefix : {"vtable for ", "typeinfo name for ", "typeinfo for ", "guard variable for ",
             "VTT for ", "construction vtable for "}) {
        if (demangled.rfind(prefix, 0) == 0) {
            demangled.erase(0, std::string(prefix).size());
            break;
        }
    }
    // Drop everything inside <...> and (...), keeping the brackets' places.
    std::string flat;
    int angle = 0;
    int paren = 0;
    for (const char c : demangled) {
        if (c == '<' && paren == 0) {
            ++angle;
        } else if (c == '>' && paren == 0 && angle > 0) {
            --angle;
        } else if (c == '(' && angle == 0) {
            if (paren++ == 0) {
                flat += '(';
            }
        } else if (c == ')' && angle == 0 && paren > 0) {
            --paren;
        } else if (angle == 0 && paren == 0) {
            flat += c;
        }
    }
    // A function's name is the word before its first parameter list; the
    // return type of a function template, if any, precedes it after a space.
    const auto call = flat.find('(');
    std::string name = flat.substr(0, call);
    const auto space = name.rfind(' ');
    return space == std::string::npos ? name : name.substr(space + 1);
}

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.rfind(prefix, 0) == 0;
}

const std::string kExtension = "ombrix::extensions::sherpa::SherpaExtension";

// Mentions one of the library's own namespaces or free functions. The one
// own type allowed inside std instantiations is the exported SherpaExtension.
bool mentionsOwnCode(const DynamicSymbol& symbol, bool exceptTheExtension)
{
    std::string text = symbol.demangled;
    if (exceptTheExtension) {
        for (auto at = text.find(kExtension); at != std::string::npos; at = text.find(kExtension, at)) {
            const auto end = at + kExtension.size();
            const bool wholeName = end == text.size()
                || !(std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_');
            if (wholeName) {
                text.replace(at, kExtension.size(), "<exported>");
            } else {
                at = end;
            }
        }
    }
    for (const char* own : {"ombrix::extensions::", "ombrix::audio::", "ombrix::math::", "ombrix::buffer::",
             "getModelFilePath", "getTokensFilePath", "getGraphFilePath", "getTTSModelFilePath",
             "getTTSTokensFilePath", "getTTSDataDirPath", "ox_extension_"}) {
        if (text.find(own) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool isWeakOrUnique(const DynamicSymbol& symbol)
{
    return symbol.kind == 'W' || symbol.kind == 'V' || symbol.kind == 'u';
}

} // namespace

TEST(PluginLibraryFile, NeedsTheSdkAndSherpaOnnxAndOtherwiseOnlyTheStandardRuntime)
{
    const auto needed = dynamicEntries(runTool("readelf", {"-d", "-W", kPlugin}), "NEEDED");
    const std::set<std::string> neededSet(needed.begin(), needed.end());
    EXPECT_EQ(neededSet.size(), needed.size()) << "a library is needed twice";
    EXPECT_TRUE(neededSet.count("libOmbrixSDK.so"));
    EXPECT_TRUE(neededSet.count("libsherpa-onnx-c-api.so"));
    // onnxruntime is sherpa-onnx's own dependency, never ours directly.
    EXPECT_FALSE(neededSet.count("libonnxruntime.so"));

    std::set<std::string> allowed = {"libOmbrixSDK.so", "libsherpa-onnx-c-api.so", "libstdc++.so.6",
        "libm.so.6", "libgcc_s.so.1", "libc.so.6", "ld-linux-x86-64.so.2"};
    const std::string sanitizer = OMBRIX_PLUGIN_SANITIZER;
    if (sanitizer == "address") {
        allowed.insert({"libasan.so.8", "libubsan.so.1"});
    } else if (sanitizer == "thread") {
        allowed.insert("libtsan.so.2");
    }
    for (const auto& library : needed) {
        EXPECT_TRUE(allowed.count(library)) << "unexpected NEEDED entry " << library;
    }
}

TEST(PluginLibraryFile, SearchesItsOwnDirectoryAndTheInstallTreeThroughRunpathOnly)
{
    const std::string dynamic = runTool("readelf", {"-d", "-W", kPlugin});
    EXPECT_EQ(dynamicEntries(dynamic, "RUNPATH"),
        (std::vector<std::string>{
            "$ORIGIN:$ORIGIN/../lib:$ORIGIN/../../OmbrixSDK/lib:$ORIGIN/../../Sherpa/lib"}));
    // DT_RPATH would override LD_LIBRARY_PATH and be searched for the
    // dependencies of other objects too.
    EXPECT_TRUE(dynamicEntries(dynamic, "RPATH").empty());
}

TEST(PluginLibraryFile, ExportsOnlySherpaExtensionOfItsOwnCode)
{
    const auto symbols = exportedSymbols();
    ASSERT_FALSE(symbols.empty());

    // Exactly these of the library's own symbols are visible, all of them.
    const std::set<std::string> expectedOwn = {
        kExtension + "::load()",
        kExtension + "::getName[abi:cxx11]()",
        kExtension + "::getDescription[abi:cxx11]()",
        kExtension + "::getNodeFactory()",
        "vtable for " + kExtension,
        "typeinfo for " + kExtension,
        "typeinfo name for " + kExtension,
    };
    // Vague-linkage symbols of host classes without an out-of-line key
    // function: every object using Extension emits its vtable and type
    // information as weak default-visibility copies (Extension.h declares its
    // destructor inline). The dynamic linker merges them with the SDK's.
    const std::set<std::string> hostVagueLinkage = {
        "vtable for ombrix::Extension",
        "typeinfo for ombrix::Extension",
        "typeinfo name for ombrix::Extension",
    };

    std::set<std::string> own;
    for (const auto& symbol : symbols) {
        const std::string entity = entityName(symbol.demangled);
        if (expectedOwn.count(symbol.demangled)) {
            own.insert(symbol.demangled);
        } else if (startsWith(entity, "std::") || startsWith(entity, "__gnu_cxx::")) {
            // Instantiations of standard-library templates and inline
            // functions: libstdc++ gives namespace std default visibility, so
            // those used here are weak, default-visibility copies. Over a
            // hidden type an instantiation is hidden itself, so the only own
            // type that may appear in them is the exported SherpaExtension
            // (its make_shared control block).
            EXPECT_TRUE(isWeakOrUnique(symbol))
                << "strong std symbol " << symbol.kind << " " << symbol.demangled;
            EXPECT_FALSE(mentionsOwnCode(symbol, true))
                << "std instantiation over a hidden own type: " << symbol.demangled;
        } else if (hostVagueLinkage.count(symbol.demangled)) {
            EXPECT_TRUE(isWeakOrUnique(symbol)) << symbol.demangled;
        } else {
            ADD_FAILURE() << "unexpected exported symbol " << symbol.kind << " " << symbol.mangled << " ("
                          << symbol.demangled << ")"
                          << (mentionsOwnCode(symbol, false) ? ": the library's own code must be hidden"
                                                             : "");
        }
    }
    EXPECT_EQ(own, expectedOwn);
}

TEST(PluginLibraryFile, KeepsItsOtherCodeAsLocalSymbols)
{
    // The full symbol table (not stripped in the build tree) shows that the
    // hidden code is there, only not exported.
    std::set<std::string> local;
    std::istringstream lines(runTool("nm", {"--defined-only", kPlugin}));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address;
        std::string kind;
        std::string name;
        if (fields >> address >> kind >> name && kind == "t") {
            local.insert(name);
        }
    }
    for (const char* name : {"ox_extension_load", "ox_extension_anchor_OmbrixSherpa",
             "_ZN6ombrix10extensions6sherpa17SherpaNodeFactoryC2Ev",
             "_ZN6ombrix10extensions6sherpa13SherpaTTSNode15getNodeTypeInfoEv"}) {
        EXPECT_TRUE(local.count(name)) << name << " is not a local function of the library";
    }
}
