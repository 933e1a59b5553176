// The parameters a statement's execute call carries.

#include "dotnet/CapturedMeaning.h"
#include "requests/RequestTracker.h"
#include "wire/ValueRecord.h"

namespace QuorixCollect {

void RequestTracker::AddParameters(SqlStatement& statement, const DecodedCommand& begin) {
    (void)statement;
    (void)begin;
}

}  // namespace QuorixCollect
