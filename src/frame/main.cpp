// Program entry of the daemon.
#include "frame/frame.h"

int main(int, char **)
{
    return -1;
}
