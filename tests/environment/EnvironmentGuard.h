#pragma once

#include <stdlib.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "environment/Configuration.h"

// Clears the named variables for the life of a test and puts back whatever was there before.
class EnvironmentGuard {
public:
    explicit EnvironmentGuard(const std::vector<std::string>& names) {
        for (const std::string& name : names) {
            Remember(name);
            unsetenv(name.c_str());
        }
    }
    ~EnvironmentGuard() {
        for (const auto& [name, value] : saved) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }
    EnvironmentGuard(const EnvironmentGuard&) = delete;
    EnvironmentGuard& operator=(const EnvironmentGuard&) = delete;

    void Set(const std::string& name, const std::string& value) {
        Remember(name);
        setenv(name.c_str(), value.c_str(), 1);
    }
    void Unset(const std::string& name) {
        Remember(name);
        unsetenv(name.c_str());
    }

private:
    void Remember(const std::string& name) {
        if (saved.count(name) != 0) return;
        const char* value = getenv(name.c_str());
        saved[name] = value == nullptr ? std::nullopt : std::optional<std::string>(value);
    }

    std::map<std::string, std::optional<std::string>> saved;
};

// Every setting the agent declares.
inline std::vector<std::string> AllAgentVariables() {
    std::vector<std::string> names;
    for (const SettingDeclaration& setting : Configuration::Declarations()) names.emplace_back(setting.variable);
    return names;
}
