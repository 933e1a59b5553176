#include "environment/Configuration.h"
#include "inspection/SecretMasker.h"

// Apart from the rules, which the collector builds too and which need no settings.
bool SecretMasker::Active() { return g_Configuration == nullptr || !g_Configuration->captureSecrets; }
