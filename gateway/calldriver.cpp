#include "gateway/calldriver.h"

// The interface has no code of its own; this unit gives it its meta-object.
