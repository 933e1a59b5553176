#pragma once

// The instruction set as the rewriter numbers it: one-byte opcodes keep their byte, 0xFE-prefixed
// ones are 0x100 + second byte, and CEE_SWITCH_ARG is a pseudo-instruction that holds one target
// of the switch before it. Numbers that no instruction uses carry no operand and push nothing.

#include <array>
#include <cstddef>
#include <cstdint>

// X(name, number, flags, pushes). Flags: low 4 bits = inline operand size; ILFlagBranch marks an
// operand that is a target; ILFlagSwitch a 4-byte count followed by that many 4-byte targets.
// Pushes counts what the instruction leaves on the stack (calls count 1, dup 2).
#define QX_IL_OPCODES(X)                 \
    X(CEE_NOP, 0x00, 0x00, 0)            \
    X(CEE_BREAK, 0x01, 0x00, 0)          \
    X(CEE_LDARG_0, 0x02, 0x00, 1)        \
    X(CEE_LDARG_1, 0x03, 0x00, 1)        \
    X(CEE_LDARG_2, 0x04, 0x00, 1)        \
    X(CEE_LDARG_3, 0x05, 0x00, 1)        \
    X(CEE_LDLOC_0, 0x06, 0x00, 1)        \
    X(CEE_LDLOC_1, 0x07, 0x00, 1)        \
    X(CEE_LDLOC_2, 0x08, 0x00, 1)        \
    X(CEE_LDLOC_3, 0x09, 0x00, 1)        \
    X(CEE_STLOC_0, 0x0A, 0x00, 0)        \
    X(CEE_STLOC_1, 0x0B, 0x00, 0)        \
    X(CEE_STLOC_2, 0x0C, 0x00, 0)        \
    X(CEE_STLOC_3, 0x0D, 0x00, 0)        \
    X(CEE_LDARG_S, 0x0E, 0x01, 1)        \
    X(CEE_LDARGA_S, 0x0F, 0x01, 1)       \
    X(CEE_STARG_S, 0x10, 0x01, 0)        \
    X(CEE_LDLOC_S, 0x11, 0x01, 1)        \
    X(CEE_LDLOCA_S, 0x12, 0x01, 1)       \
    X(CEE_STLOC_S, 0x13, 0x01, 0)        \
    X(CEE_LDNULL, 0x14, 0x00, 1)         \
    X(CEE_LDC_I4_M1, 0x15, 0x00, 1)      \
    X(CEE_LDC_I4_0, 0x16, 0x00, 1)       \
    X(CEE_LDC_I4_1, 0x17, 0x00, 1)       \
    X(CEE_LDC_I4_2, 0x18, 0x00, 1)       \
    X(CEE_LDC_I4_3, 0x19, 0x00, 1)       \
    X(CEE_LDC_I4_4, 0x1A, 0x00, 1)       \
    X(CEE_LDC_I4_5, 0x1B, 0x00, 1)       \
    X(CEE_LDC_I4_6, 0x1C, 0x00, 1)       \
    X(CEE_LDC_I4_7, 0x1D, 0x00, 1)       \
    X(CEE_LDC_I4_8, 0x1E, 0x00, 1)       \
    X(CEE_LDC_I4_S, 0x1F, 0x01, 1)       \
    X(CEE_LDC_I4, 0x20, 0x04, 1)         \
    X(CEE_LDC_I8, 0x21, 0x08, 1)         \
    X(CEE_LDC_R4, 0x22, 0x04, 1)         \
    X(CEE_LDC_R8, 0x23, 0x08, 1)         \
    X(CEE_DUP, 0x25, 0x00, 2)            \
    X(CEE_POP, 0x26, 0x00, 0)            \
    X(CEE_JMP, 0x27, 0x04, 0)            \
    X(CEE_CALL, 0x28, 0x04, 1)           \
    X(CEE_CALLI, 0x29, 0x04, 1)          \
    X(CEE_RET, 0x2A, 0x00, 0)            \
    X(CEE_BR_S, 0x2B, 0x11, 0)           \
    X(CEE_BRFALSE_S, 0x2C, 0x11, 0)      \
    X(CEE_BRTRUE_S, 0x2D, 0x11, 0)       \
    X(CEE_BEQ_S, 0x2E, 0x11, 0)          \
    X(CEE_BGE_S, 0x2F, 0x11, 0)          \
    X(CEE_BGT_S, 0x30, 0x11, 0)          \
    X(CEE_BLE_S, 0x31, 0x11, 0)          \
    X(CEE_BLT_S, 0x32, 0x11, 0)          \
    X(CEE_BNE_UN_S, 0x33, 0x11, 0)       \
    X(CEE_BGE_UN_S, 0x34, 0x11, 0)       \
    X(CEE_BGT_UN_S, 0x35, 0x11, 0)       \
    X(CEE_BLE_UN_S, 0x36, 0x11, 0)       \
    X(CEE_BLT_UN_S, 0x37, 0x11, 0)       \
    X(CEE_BR, 0x38, 0x14, 0)             \
    X(CEE_BRFALSE, 0x39, 0x14, 0)        \
    X(CEE_BRTRUE, 0x3A, 0x14, 0)         \
    X(CEE_BEQ, 0x3B, 0x14, 0)            \
    X(CEE_BGE, 0x3C, 0x14, 0)            \
    X(CEE_BGT, 0x3D, 0x14, 0)            \
    X(CEE_BLE, 0x3E, 0x14, 0)            \
    X(CEE_BLT, 0x3F, 0x14, 0)            \
    X(CEE_BNE_UN, 0x40, 0x14, 0)         \
    X(CEE_BGE_UN, 0x41, 0x14, 0)         \
    X(CEE_BGT_UN, 0x42, 0x14, 0)         \
    X(CEE_BLE_UN, 0x43, 0x14, 0)         \
    X(CEE_BLT_UN, 0x44, 0x14, 0)         \
    X(CEE_SWITCH, 0x45, 0x20, 0)         \
    X(CEE_LDIND_I1, 0x46, 0x00, 1)       \
    X(CEE_LDIND_U1, 0x47, 0x00, 1)       \
    X(CEE_LDIND_I2, 0x48, 0x00, 1)       \
    X(CEE_LDIND_U2, 0x49, 0x00, 1)       \
    X(CEE_LDIND_I4, 0x4A, 0x00, 1)       \
    X(CEE_LDIND_U4, 0x4B, 0x00, 1)       \
    X(CEE_LDIND_I8, 0x4C, 0x00, 1)       \
    X(CEE_LDIND_I, 0x4D, 0x00, 1)        \
    X(CEE_LDIND_R4, 0x4E, 0x00, 1)       \
    X(CEE_LDIND_R8, 0x4F, 0x00, 1)       \
    X(CEE_LDIND_REF, 0x50, 0x00, 1)      \
    X(CEE_STIND_REF, 0x51, 0x00, 0)      \
    X(CEE_STIND_I1, 0x52, 0x00, 0)       \
    X(CEE_STIND_I2, 0x53, 0x00, 0)       \
    X(CEE_STIND_I4, 0x54, 0x00, 0)       \
    X(CEE_STIND_I8, 0x55, 0x00, 0)       \
    X(CEE_STIND_R4, 0x56, 0x00, 0)       \
    X(CEE_STIND_R8, 0x57, 0x00, 0)       \
    X(CEE_ADD, 0x58, 0x00, 1)            \
    X(CEE_SUB, 0x59, 0x00, 1)            \
    X(CEE_MUL, 0x5A, 0x00, 1)            \
    X(CEE_DIV, 0x5B, 0x00, 1)            \
    X(CEE_DIV_UN, 0x5C, 0x00, 1)         \
    X(CEE_REM, 0x5D, 0x00, 1)            \
    X(CEE_REM_UN, 0x5E, 0x00, 1)         \
    X(CEE_AND, 0x5F, 0x00, 1)            \
    X(CEE_OR, 0x60, 0x00, 1)             \
    X(CEE_XOR, 0x61, 0x00, 1)            \
    X(CEE_SHL, 0x62, 0x00, 1)            \
    X(CEE_SHR, 0x63, 0x00, 1)            \
    X(CEE_SHR_UN, 0x64, 0x00, 1)         \
    X(CEE_NEG, 0x65, 0x00, 1)            \
    X(CEE_NOT, 0x66, 0x00, 1)            \
    X(CEE_CONV_I1, 0x67, 0x00, 1)        \
    X(CEE_CONV_I2, 0x68, 0x00, 1)        \
    X(CEE_CONV_I4, 0x69, 0x00, 1)        \
    X(CEE_CONV_I8, 0x6A, 0x00, 1)        \
    X(CEE_CONV_R4, 0x6B, 0x00, 1)        \
    X(CEE_CONV_R8, 0x6C, 0x00, 1)        \
    X(CEE_CONV_U4, 0x6D, 0x00, 1)        \
    X(CEE_CONV_U8, 0x6E, 0x00, 1)        \
    X(CEE_CALLVIRT, 0x6F, 0x04, 1)       \
    X(CEE_CPOBJ, 0x70, 0x04, 0)          \
    X(CEE_LDOBJ, 0x71, 0x04, 1)          \
    X(CEE_LDSTR, 0x72, 0x04, 1)          \
    X(CEE_NEWOBJ, 0x73, 0x04, 1)         \
    X(CEE_CASTCLASS, 0x74, 0x04, 1)      \
    X(CEE_ISINST, 0x75, 0x04, 1)         \
    X(CEE_CONV_R_UN, 0x76, 0x00, 1)      \
    X(CEE_UNBOX, 0x79, 0x04, 1)          \
    X(CEE_THROW, 0x7A, 0x00, 0)          \
    X(CEE_LDFLD, 0x7B, 0x04, 1)          \
    X(CEE_LDFLDA, 0x7C, 0x04, 1)         \
    X(CEE_STFLD, 0x7D, 0x04, 0)          \
    X(CEE_LDSFLD, 0x7E, 0x04, 1)         \
    X(CEE_LDSFLDA, 0x7F, 0x04, 1)        \
    X(CEE_STSFLD, 0x80, 0x04, 0)         \
    X(CEE_STOBJ, 0x81, 0x04, 0)          \
    X(CEE_CONV_OVF_I1_UN, 0x82, 0x00, 1) \
    X(CEE_CONV_OVF_I2_UN, 0x83, 0x00, 1) \
    X(CEE_CONV_OVF_I4_UN, 0x84, 0x00, 1) \
    X(CEE_CONV_OVF_I8_UN, 0x85, 0x00, 1) \
    X(CEE_CONV_OVF_U1_UN, 0x86, 0x00, 1) \
    X(CEE_CONV_OVF_U2_UN, 0x87, 0x00, 1) \
    X(CEE_CONV_OVF_U4_UN, 0x88, 0x00, 1) \
    X(CEE_CONV_OVF_U8_UN, 0x89, 0x00, 1) \
    X(CEE_CONV_OVF_I_UN, 0x8A, 0x00, 1)  \
    X(CEE_CONV_OVF_U_UN, 0x8B, 0x00, 1)  \
    X(CEE_BOX, 0x8C, 0x04, 1)            \
    X(CEE_NEWARR, 0x8D, 0x04, 1)         \
    X(CEE_LDLEN, 0x8E, 0x00, 1)          \
    X(CEE_LDELEMA, 0x8F, 0x04, 1)        \
    X(CEE_LDELEM_I1, 0x90, 0x00, 1)      \
    X(CEE_LDELEM_U1, 0x91, 0x00, 1)      \
    X(CEE_LDELEM_I2, 0x92, 0x00, 1)      \
    X(CEE_LDELEM_U2, 0x93, 0x00, 1)      \
    X(CEE_LDELEM_I4, 0x94, 0x00, 1)      \
    X(CEE_LDELEM_U4, 0x95, 0x00, 1)      \
    X(CEE_LDELEM_I8, 0x96, 0x00, 1)      \
    X(CEE_LDELEM_I, 0x97, 0x00, 1)       \
    X(CEE_LDELEM_R4, 0x98, 0x00, 1)      \
    X(CEE_LDELEM_R8, 0x99, 0x00, 1)      \
    X(CEE_LDELEM_REF, 0x9A, 0x00, 1)     \
    X(CEE_STELEM_I, 0x9B, 0x00, 0)       \
    X(CEE_STELEM_I1, 0x9C, 0x00, 0)      \
    X(CEE_STELEM_I2, 0x9D, 0x00, 0)      \
    X(CEE_STELEM_I4, 0x9E, 0x00, 0)      \
    X(CEE_STELEM_I8, 0x9F, 0x00, 0)      \
    X(CEE_STELEM_R4, 0xA0, 0x00, 0)      \
    X(CEE_STELEM_R8, 0xA1, 0x00, 0)      \
    X(CEE_STELEM_REF, 0xA2, 0x00, 0)     \
    X(CEE_LDELEM, 0xA3, 0x04, 1)         \
    X(CEE_STELEM, 0xA4, 0x04, 0)         \
    X(CEE_UNBOX_ANY, 0xA5, 0x04, 1)      \
    X(CEE_CONV_OVF_I1, 0xB3, 0x00, 1)    \
    X(CEE_CONV_OVF_U1, 0xB4, 0x00, 1)    \
    X(CEE_CONV_OVF_I2, 0xB5, 0x00, 1)    \
    X(CEE_CONV_OVF_U2, 0xB6, 0x00, 1)    \
    X(CEE_CONV_OVF_I4, 0xB7, 0x00, 1)    \
    X(CEE_CONV_OVF_U4, 0xB8, 0x00, 1)    \
    X(CEE_CONV_OVF_I8, 0xB9, 0x00, 1)    \
    X(CEE_CONV_OVF_U8, 0xBA, 0x00, 1)    \
    X(CEE_REFANYVAL, 0xC2, 0x04, 1)      \
    X(CEE_CKFINITE, 0xC3, 0x00, 1)       \
    X(CEE_MKREFANY, 0xC6, 0x04, 1)       \
    X(CEE_LDTOKEN, 0xD0, 0x04, 1)        \
    X(CEE_CONV_U2, 0xD1, 0x00, 1)        \
    X(CEE_CONV_U1, 0xD2, 0x00, 1)        \
    X(CEE_CONV_I, 0xD3, 0x00, 1)         \
    X(CEE_CONV_OVF_I, 0xD4, 0x00, 1)     \
    X(CEE_CONV_OVF_U, 0xD5, 0x00, 1)     \
    X(CEE_ADD_OVF, 0xD6, 0x00, 1)        \
    X(CEE_ADD_OVF_UN, 0xD7, 0x00, 1)     \
    X(CEE_MUL_OVF, 0xD8, 0x00, 1)        \
    X(CEE_MUL_OVF_UN, 0xD9, 0x00, 1)     \
    X(CEE_SUB_OVF, 0xDA, 0x00, 1)        \
    X(CEE_SUB_OVF_UN, 0xDB, 0x00, 1)     \
    X(CEE_ENDFINALLY, 0xDC, 0x00, 0)     \
    X(CEE_LEAVE, 0xDD, 0x14, 0)          \
    X(CEE_LEAVE_S, 0xDE, 0x11, 0)        \
    X(CEE_STIND_I, 0xDF, 0x00, 0)        \
    X(CEE_CONV_U, 0xE0, 0x00, 1)         \
    X(CEE_ARGLIST, 0x100, 0x00, 1)       \
    X(CEE_CEQ, 0x101, 0x00, 1)           \
    X(CEE_CGT, 0x102, 0x00, 1)           \
    X(CEE_CGT_UN, 0x103, 0x00, 1)        \
    X(CEE_CLT, 0x104, 0x00, 1)           \
    X(CEE_CLT_UN, 0x105, 0x00, 1)        \
    X(CEE_LDFTN, 0x106, 0x04, 1)         \
    X(CEE_LDVIRTFTN, 0x107, 0x04, 1)     \
    X(CEE_LDARG, 0x109, 0x02, 1)         \
    X(CEE_LDARGA, 0x10A, 0x02, 1)        \
    X(CEE_STARG, 0x10B, 0x02, 0)         \
    X(CEE_LDLOC, 0x10C, 0x02, 1)         \
    X(CEE_LDLOCA, 0x10D, 0x02, 1)        \
    X(CEE_STLOC, 0x10E, 0x02, 0)         \
    X(CEE_LOCALLOC, 0x10F, 0x00, 1)      \
    X(CEE_ENDFILTER, 0x111, 0x00, 0)     \
    X(CEE_UNALIGNED, 0x112, 0x01, 0)     \
    X(CEE_VOLATILE, 0x113, 0x00, 0)      \
    X(CEE_TAILCALL, 0x114, 0x00, 0)      \
    X(CEE_INITOBJ, 0x115, 0x04, 0)       \
    X(CEE_CONSTRAINED, 0x116, 0x04, 0)   \
    X(CEE_CPBLK, 0x117, 0x00, 0)         \
    X(CEE_INITBLK, 0x118, 0x00, 0)       \
    X(CEE_NO, 0x119, 0x01, 0)            \
    X(CEE_RETHROW, 0x11A, 0x00, 0)       \
    X(CEE_SIZEOF, 0x11C, 0x04, 1)        \
    X(CEE_REFANYTYPE, 0x11D, 0x00, 1)    \
    X(CEE_READONLY, 0x11E, 0x00, 0)

#define QX_IL_OPCODE_ENUM(name, number, flags, pushes) name = number,

enum ILOpcode : uint32_t {
    QX_IL_OPCODES(QX_IL_OPCODE_ENUM)
    // Highest number an imported instruction may have (0xFE 0x25).
    CEE_LAST_IMPORTABLE = 0x125,
    CEE_SWITCH_ARG = 295,
    // Opcode of the list's sentinel.
    CEE_SENTINEL = 0xFFFFFFFFu,
};

#undef QX_IL_OPCODE_ENUM

inline constexpr uint8_t ILOperandSizeMask = 0x0F;
inline constexpr uint8_t ILFlagBranch = 0x10;
inline constexpr uint8_t ILFlagSwitch = 0x20;

inline constexpr size_t ILOpcodeFlagsCount = 296;  // opcodes 0..295
inline constexpr size_t ILStackPushesCount = 294;  // opcodes 0..293

namespace qx::il::detail {

constexpr std::array<uint8_t, ILOpcodeFlagsCount> MakeOpcodeFlags() {
    std::array<uint8_t, ILOpcodeFlagsCount> table{};
#define QX_IL_OPCODE_FLAGS(name, number, flags, pushes) table[number] = flags;
    QX_IL_OPCODES(QX_IL_OPCODE_FLAGS)
#undef QX_IL_OPCODE_FLAGS
    table[CEE_SWITCH_ARG] = ILFlagBranch | 4;
    return table;
}

constexpr std::array<uint8_t, ILStackPushesCount> MakeStackPushes() {
    std::array<uint8_t, ILStackPushesCount> table{};
#define QX_IL_OPCODE_PUSHES(name, number, flags, pushes) table[number] = pushes;
    QX_IL_OPCODES(QX_IL_OPCODE_PUSHES)
#undef QX_IL_OPCODE_PUSHES
    return table;
}

// A number listed twice would silently overwrite the first entry's table values.
constexpr bool OpcodesAreUnique() {
    std::array<bool, ILOpcodeFlagsCount> seen{};
#define QX_IL_OPCODE_SEEN(name, number, flags, pushes) \
    if (seen[number]) return false;                    \
    seen[number] = true;
    QX_IL_OPCODES(QX_IL_OPCODE_SEEN)
#undef QX_IL_OPCODE_SEEN
    return true;
}

}  // namespace qx::il::detail

static_assert(qx::il::detail::OpcodesAreUnique(), "an opcode number is listed twice");

inline constexpr std::array<uint8_t, ILOpcodeFlagsCount> ILOpcodeFlags = qx::il::detail::MakeOpcodeFlags();
inline constexpr std::array<uint8_t, ILStackPushesCount> ILStackPushes = qx::il::detail::MakeStackPushes();

static_assert(ILOpcodeFlags[CEE_SWITCH] == ILFlagSwitch && ILOpcodeFlags[CEE_LEAVE_S] == 0x11 &&
              ILOpcodeFlags[CEE_LDC_I8] == 8 && ILOpcodeFlags[CEE_STLOC] == 2);
static_assert(ILStackPushes[CEE_DUP] == 2 && ILStackPushes[CEE_CALL] == 1 && ILStackPushes[CEE_RET] == 0);

// Operand-table queries that tolerate any number, the sentinel's included.
constexpr uint8_t ILFlagsOf(uint32_t opcode) { return opcode < ILOpcodeFlagsCount ? ILOpcodeFlags[opcode] : 0; }
constexpr unsigned ILStackPushesOf(uint32_t opcode) { return opcode < ILStackPushesCount ? ILStackPushes[opcode] : 0; }
