#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ProfilerTypes.h"

// What a thrown exception says about itself, read from the object inside the runtime's exception
// callback: the full name of its class (namespace, enclosing types joined by "+", the generic
// arity as the metadata writes it) and its message, the field "_message" of System.Exception
// (a class of the app's may declare a field of that name too; it is not the message). What a
// class needs is asked of the runtime once and kept: a throw of a class seen before reads two
// words of managed memory and the string's header. Nothing here throws; what cannot be found
// gives an empty name or no message, and one log line for the class.
class ExceptionReader {
public:
    static constexpr size_t Capacity = 4096;  // classes remembered; a power of two
    static constexpr size_t MaxProbes = 16;
    // Deeper nesting or longer base-class chains than this are not what a compiler makes.
    static constexpr int MaxNesting = 16;
    static constexpr int MaxClassDepth = 64;

    // What is known of one class of thrown objects.
    struct ClassFacts {
        ClassID classId = 0;
        std::string typeName;  // UTF-8; empty when the runtime could not name the class
        bool derivesFromException = false;
    };

    struct Details {
        const std::string* typeName = nullptr;  // never null once read
        const char16_t* message = nullptr;      // null: the exception has none (or it could not be read)
        uint32_t messageUnits = 0;
    };

    ExceptionReader() = default;
    ~ExceptionReader();
    ExceptionReader(const ExceptionReader&) = delete;
    ExceptionReader& operator=(const ExceptionReader&) = delete;

    // The details of the thrown object, valid while the callback runs (and `spare` lives: the
    // facts of a class that found no room in the table are kept there).
    Details Read(ObjectID exceptionObject, ClassFacts& spare) noexcept;

    // How many classes are remembered; for tests.
    size_t KnownClasses() const;

private:
    // Where System.Exception keeps its message, once found.
    struct BaseFacts {
        ClassID classId = 0;
        bool hasMessage = false;
        uint32_t messageOffset = 0;
        ULONG classSize = 0;  // 0: not known
    };

    const ClassFacts* FactsOf(ClassID classId, ClassFacts& spare);
    const ClassFacts* Find(ClassID classId) const;
    // The facts now in the table for the class, or null when it is full.
    const ClassFacts* Publish(ClassFacts* fresh, bool& first);
    // Walks the base classes to System.Exception, finding its message field on the way once.
    bool DerivesFromException(ClassID classId, const std::string& name);
    const BaseFacts* LearnBase(ClassID exceptionClass);
    void ReadMessage(uintptr_t object, Details& details) const;

    std::atomic<const ClassFacts*> entries[Capacity] = {};
    std::atomic<const BaseFacts*> base{nullptr};
};
