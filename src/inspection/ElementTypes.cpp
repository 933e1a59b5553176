#include "inspection/VariableInfo.h"

using namespace Variables;

VariableType VariableInfo::ConvertToVariableType(CorElementType elementType) {
    switch (elementType) {
        case ELEMENT_TYPE_BOOLEAN:
            return Boolean;
        case ELEMENT_TYPE_CHAR:
        case ELEMENT_TYPE_I1:
        case ELEMENT_TYPE_U1:
            return Byte;
        case ELEMENT_TYPE_I2:
            return Int16;
        case ELEMENT_TYPE_U2:
            return UInt16;
        case ELEMENT_TYPE_I4:
        case ELEMENT_TYPE_I:
            return Int32;
        case ELEMENT_TYPE_U4:
        case ELEMENT_TYPE_U:
            return UInt32;
        case ELEMENT_TYPE_I8:
            return Int64;
        case ELEMENT_TYPE_U8:
            return UInt64;
        case ELEMENT_TYPE_R4:
            return Single;
        case ELEMENT_TYPE_R8:
            return Double;
        case ELEMENT_TYPE_STRING:
            return String;
        case ELEMENT_TYPE_VALUETYPE:
            return Struct;
        case ELEMENT_TYPE_CLASS:
        case ELEMENT_TYPE_OBJECT:
            return Object;
        case ELEMENT_TYPE_SZARRAY:
            return Array;
        default:
            return Unknown;
    }
}

uint32_t VariableInfo::GetSizeForCorElementType(CorElementType elementType) {
    switch (elementType) {
        case ELEMENT_TYPE_BOOLEAN:
        case ELEMENT_TYPE_CHAR:
        case ELEMENT_TYPE_I1:
        case ELEMENT_TYPE_U1:
            return 1;
        case ELEMENT_TYPE_I2:
        case ELEMENT_TYPE_U2:
            return 2;
        case ELEMENT_TYPE_I4:
        case ELEMENT_TYPE_U4:
        case ELEMENT_TYPE_I:
        case ELEMENT_TYPE_U:
            return 4;
        default:
            return 8;
    }
}

CorElementType VariableInfo::GetCorElementIntegerTypeFromSize(uint32_t size) {
    switch (size) {
        case 1:
            return ELEMENT_TYPE_U1;
        case 2:
            return ELEMENT_TYPE_U2;
        case 4:
            return ELEMENT_TYPE_U4;
        default:
            return ELEMENT_TYPE_U8;
    }
}
