#pragma once

#include "inspection/FieldAnswerCache.h"

// Finding a path step's field in a class's layout, its base classes' included; the lookup itself
// is PropertyInspector::LookUpField, which keeps the runtime's answers.
namespace FieldLookup {

// Whether the field's slot holds a reference (rather than a value inline).
bool HoldsReference(const FieldFacts& field);

}  // namespace FieldLookup
