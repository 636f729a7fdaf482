#pragma once
// Stand-in for the macOS header, for the syntax check of the macOS code on another system.
#include <sys/ioctl.h>
#include <termios.h>
#define IOSSIOSPEED _IOW('T', 2, speed_t)
