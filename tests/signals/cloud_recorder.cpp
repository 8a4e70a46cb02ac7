// The recording cloud server of the cloud tests, built into this test program too.
#include "cloud/cloud_server.cpp"
