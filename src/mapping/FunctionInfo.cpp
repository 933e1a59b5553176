#include "mapping/FunctionInfo.h"

#include <utility>

FunctionInfo::FunctionInfo(uint64_t mappedId, FunctionID runtimeId, std::string classText, std::string methodText)
    : functionId(mappedId), originalId(runtimeId), className(std::move(classText)), methodName(std::move(methodText)) {
    name.reserve(className.size() + 2 + methodName.size());
    name.append(className).append("::").append(methodName);
}
