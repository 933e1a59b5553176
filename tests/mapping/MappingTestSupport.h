#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "environment/Logger.h"
#include "mapping/LookupHelper.h"
#include "platform/ComTypes.h"

// One function as the fake metadata describes it.
struct FakeFunction {
    std::u16string enclosing;
    std::u16string className;
    std::u16string method;
    bool doNotProfile = false;
    ModuleID module = 0;
    mdToken token = 0;
    HRESULT nameResult = S_OK;
    std::vector<std::string> interfaces;
    std::vector<std::u16string> attributes;
};

inline std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// Metadata served from a table keyed by FunctionID; a function not in the table fails like the
// runtime does. The table is filled before mapping starts and only read afterwards.
class FakeLookupHelper : public LookupHelper {
public:
    FakeFunction& Add(FunctionID id, const std::string& className, const std::string& method,
                      const std::string& enclosing = "") {
        FakeFunction& function = functions[id];
        function.className = U16(className);
        function.method = U16(method);
        function.enclosing = U16(enclosing);
        function.module = 0x7000;
        function.token = static_cast<mdToken>(0x06000000u + (id & 0xFFFFu));
        return function;
    }

    HRESULT GetMethodNameByFunctionId(FunctionID id, char16_t* enclosingName, char16_t* className, char16_t* methodName,
                                      bool* doNotProfile, ModuleID* moduleId, mdToken* methodToken) override {
        ++nameCalls;
        if (nameDelay.count() > 0) std::this_thread::sleep_for(nameDelay);
        if (throwFromNames) throw std::runtime_error("metadata exploded");
        auto found = functions.find(id);
        if (found == functions.end()) return E_FAIL;
        const FakeFunction& function = found->second;
        Copy(function.enclosing, enclosingName);
        Copy(function.className, className);
        Copy(function.method, methodName);
        if (function.doNotProfile && doNotProfile != nullptr) *doNotProfile = true;
        *moduleId = function.module;
        *methodToken = function.token;
        return function.nameResult;
    }

    HRESULT GetImplementedInterfacesFunctionId(FunctionID id, const std::string& interfaceName, bool* found) override {
        ++interfaceCalls;
        auto function = functions.find(id);
        if (function == functions.end()) return E_FAIL;
        const auto& names = function->second.interfaces;
        if (std::find(names.begin(), names.end(), interfaceName) != names.end()) *found = true;
        return S_OK;
    }

    HRESULT GetCustomAttributeByFunctionId(FunctionID id, const char16_t* attributeName, bool* found) override {
        ++attributeCalls;
        auto function = functions.find(id);
        if (function == functions.end()) return E_FAIL;
        const auto& names = function->second.attributes;
        if (std::find(names.begin(), names.end(), std::u16string(attributeName)) != names.end()) *found = true;
        return S_OK;
    }

    // The same table asked by method definition, as the probe engine asks when a module loads.
    HRESULT GetMethodNameByToken(ModuleID moduleId, mdToken token, char16_t* enclosingName, char16_t* className,
                                 char16_t* methodName, bool* doNotProfile) override {
        const FunctionID id = IdOf(moduleId, token);
        if (id == 0) return E_FAIL;
        ModuleID module = 0;
        mdToken ignored = 0;
        return GetMethodNameByFunctionId(id, enclosingName, className, methodName, doNotProfile, &module, &ignored);
    }

    HRESULT GetImplementedInterfacesByToken(ModuleID moduleId, mdToken token, const std::string& interfaceName,
                                            bool* found) override {
        const FunctionID id = IdOf(moduleId, token);
        return id == 0 ? E_FAIL : GetImplementedInterfacesFunctionId(id, interfaceName, found);
    }

    HRESULT GetCustomAttributeByToken(ModuleID moduleId, mdToken token, const char16_t* attributeName,
                                      bool* found) override {
        const FunctionID id = IdOf(moduleId, token);
        return id == 0 ? E_FAIL : GetCustomAttributeByFunctionId(id, attributeName, found);
    }

    FunctionID IdOf(ModuleID moduleId, mdToken token) const {
        for (const auto& [id, function] : functions)
            if (function.module == moduleId && function.token == token) return id;
        return 0;
    }

    std::map<FunctionID, FakeFunction> functions;
    std::atomic<int> nameCalls{0};
    std::atomic<int> interfaceCalls{0};
    std::atomic<int> attributeCalls{0};
    std::chrono::milliseconds nameDelay{0};
    bool throwFromNames = false;

private:
    static void Copy(const std::u16string& text, char16_t* buffer) {
        const size_t length = std::min(text.size(), NameBufferLength - 1);
        std::copy_n(text.data(), length, buffer);
        buffer[length] = u'\0';
    }
};

// Every line the code under test logs, at every level, while the capture lives.
class LogCapture {
public:
    LogCapture() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qx-maplog-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
        folder = pattern;
        logger = std::make_unique<Logger>(LogLevel::Everything, folder, false, 4242);
        previous = g_Logger;
        g_Logger = logger.get();
    }
    ~LogCapture() {
        g_Logger = previous;
        logger.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Lines() {
        EXPECT_TRUE(logger->Flush(std::chrono::seconds(10)));
        std::ifstream in(logger->GetFilePath());
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // Lines that contain the text.
    std::vector<std::string> Matching(const std::string& text) {
        std::vector<std::string> result;
        for (const std::string& line : Lines())
            if (line.find(text) != std::string::npos) result.push_back(line);
        return result;
    }

private:
    std::string folder;
    std::unique_ptr<Logger> logger;
    Logger* previous = nullptr;
};

// A scratch folder removed with the test.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qx-mapping-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
        path = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string Write(const std::string& name, const std::string& contents) const {
        const std::string file = (path / name).string();
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << contents;
        return file;
    }
    std::string File(const std::string& name) const { return (path / name).string(); }

private:
    std::filesystem::path path;
};
