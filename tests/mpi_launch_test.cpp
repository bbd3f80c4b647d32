// The test support's reading of what a launcher says of itself.
#include <gtest/gtest.h>

#include "mpi_launch.h"

namespace {

TEST(MpiLauncherVersion, EachFamilyAndReleaseIsTold) {
    const MpiLauncher ompi5 = mpiLauncherFromVersion(
        "mpirun (Open MPI) 5.0.7\n\nReport bugs to https://www.open-mpi.org/community/help/\n");
    EXPECT_EQ(ompi5.family, MpiFamily::OpenMpi5);
    EXPECT_EQ(mpiLauncherFromVersion("mpiexec (OpenRTE) 4.1.4\n").family, MpiFamily::OpenMpi4);
    const MpiLauncher hydra = mpiLauncherFromVersion(
        "HYDRA build details:\n    Version:                                 4.0.2\n"
        "    Release Date:                            Thu Apr  7 12:34:45 CDT 2022\n");
    EXPECT_EQ(hydra.family, MpiFamily::Hydra);
    EXPECT_EQ(hydra.major * 100 + hydra.minor, 400);
    EXPECT_EQ(mpiLauncherFromVersion("Version: 4.2.1\nsrun: unrecognized option\n").family, MpiFamily::Unknown);
}

}  // namespace
