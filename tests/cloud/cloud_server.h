// The recording cloud server lives in the shared fixture.
#include "fixture/cloud_server.h"
