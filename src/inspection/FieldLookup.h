#pragma once

#include <string>

#include "inspection/FieldAnswerCache.h"

// Finding a path step's field in a class's layout, its base classes' included; the lookup itself
// is PropertyInspector::LookUpField, which keeps the runtime's answers.
namespace FieldLookup {

// Whether the field's slot holds a reference (rather than a value inline).
bool HoldsReference(const FieldFacts& field);

enum class Match { Found, Absent, Failed };

// The field of that name in the class's layout or, failing that, in its base classes' (a
// layout lists only the fields the class itself declares). Failed: the runtime did not answer.
// Asks the runtime every time: callers keep the answer.
Match Find(ModuleID moduleId, ClassID classId, const std::string& fieldName, FieldFacts& facts);

}  // namespace FieldLookup
