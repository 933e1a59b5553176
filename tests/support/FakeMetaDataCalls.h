#pragma once

#include <map>
#include <mutex>
#include <string>

#include "platform/MetaData.h"

// Call counting for the metadata fakes: every method answers E_FAIL and is counted, so an
// unexpected call shows up as a failed expectation. Tests derive and override what they need,
// calling Count in their overrides too.
class FakeMetaDataCalls {
public:
    int Calls(const std::string& name) {
        std::lock_guard<std::mutex> lock(callsMutex);
        return calls[name];
    }

protected:
    void Count(const char* name) {
        std::lock_guard<std::mutex> lock(callsMutex);
        ++calls[name];
    }

private:
    std::mutex callsMutex;
    std::map<std::string, int> calls;
};

// Expands one interface method into an override that is counted and answers E_FAIL.
#define QX_FAKE_METADATA_FAILS(slot, ret, name, params) \
    ret name params override {                          \
        Count(#name);                                   \
        return E_FAIL;                                  \
    }
