// kestrona-server as a program: several instances on one database, restarts,
// and the admin and migrate commands.
#include <gtest/gtest.h>
