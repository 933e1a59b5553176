#include "wire/WireFormat.h"

namespace QuorixCollect {

namespace {
constexpr uint8_t KnownTypes[] = {1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12, 13, 14, 20, 21, 100, 101, 104};
}

const char* CommandTypeName(uint8_t type) {
    switch (static_cast<CommandType>(type)) {
        case CommandType::BeginCall:
            return "BeginCall";
        case CommandType::EndCall:
            return "EndCall";
        case CommandType::MethodInfo:
            return "MethodInfo";
        case CommandType::ExceptionRaised:
            return "ExceptionRaised";
        case CommandType::UnwindCall:
            return "UnwindCall";
        case CommandType::ThreadStarted:
            return "ThreadStarted";
        case CommandType::ThreadEnded:
            return "ThreadEnded";
        case CommandType::ProcessStarted:
            return "ProcessStarted";
        case CommandType::ProcessEnded:
            return "ProcessEnded";
        case CommandType::ProcessFrequency:
            return "ProcessFrequency";
        case CommandType::ProcessType:
            return "ProcessType";
        case CommandType::DiscardTrace:
            return "DiscardTrace";
        case CommandType::ProfilerSampling:
            return "ProfilerSampling";
        case CommandType::DeliveryStatistics:
            return "DeliveryStatistics";
        case CommandType::ExceptionDetails:
            return "ExceptionDetails";
        case CommandType::SqlInformation:
            return "SqlInformation";
        case CommandType::HttpRequestInformation:
            return "HttpRequestInformation";
        case CommandType::ProfilerVersion:
            return "ProfilerVersion";
    }
    return nullptr;
}

const uint8_t* KnownCommandTypes(size_t& count) {
    count = sizeof(KnownTypes);
    return KnownTypes;
}

const char* ValueTypeName(uint8_t type) {
    switch (static_cast<ValueType>(type)) {
        case ValueType::Unknown:
            return "unknown";
        case ValueType::Void:
            return "void";
        case ValueType::Boolean:
            return "bool";
        case ValueType::Byte:
            return "byte";
        case ValueType::Int16:
            return "short";
        case ValueType::UInt16:
            return "unsigned short";
        case ValueType::Int32:
            return "int";
        case ValueType::UInt32:
            return "unsigned int";
        case ValueType::Int64:
            return "long";
        case ValueType::UInt64:
            return "unsigned long";
        case ValueType::Single:
            return "float";
        case ValueType::Double:
            return "double";
        case ValueType::String:
        case ValueType::EmptyString:
        case ValueType::NullString:
        case ValueType::LongString:
            return "string";
        case ValueType::Struct:
            return "struct";
        case ValueType::Object:
        case ValueType::NullObject:
            return "object";
        case ValueType::Array:
            return "array";
    }
    return "unknown";
}

size_t ScalarWidth(uint8_t type) {
    switch (static_cast<ValueType>(type)) {
        case ValueType::Boolean:
        case ValueType::Byte:
            return 1;
        case ValueType::Int16:
        case ValueType::UInt16:
            return 2;
        case ValueType::Int32:
        case ValueType::UInt32:
        case ValueType::Single:
            return 4;
        case ValueType::Int64:
        case ValueType::UInt64:
        case ValueType::Double:
            return 8;
        default:
            return 0;
    }
}

}  // namespace QuorixCollect
