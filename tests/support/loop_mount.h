// A real file system on a loop-mounted image, for what tmpfs cannot show.
#pragma once

#include <string>

#include "scratch.h"

namespace testing_support {

// ext4 made with 128-byte inodes, as on many devices' partitions: its time
// stamps keep whole seconds, like jffs2, yaffs2 and vfat on flash.  Mounted
// in the test process's own mount namespace; unmounted, and its image
// deleted, when the object goes.
class WholeSecondFileSystem {
  public:
    explicit WholeSecondFileSystem(const std::string &size = "8M");
    ~WholeSecondFileSystem();
    WholeSecondFileSystem(const WholeSecondFileSystem &) = delete;
    WholeSecondFileSystem &operator=(const WholeSecondFileSystem &) = delete;

    // False, with the reason in why(), when it could not be made or mounted.
    bool mounted() const { return mounted_; }
    const std::string &why() const { return why_; }
    std::string operator/(const std::string &name) const { return root_ + "/" + name; }

  private:
    ScratchDir holder_;
    std::string image_ = holder_ / "image";
    std::string root_ = holder_ / "mnt";
    std::string why_;
    bool mounted_ = false;
};

}  // namespace testing_support
