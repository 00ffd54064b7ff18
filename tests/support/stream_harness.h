// The streaming helpers now live in harness.h; kept for programs that include this name.
#pragma once
#include "support/harness.h"
