#include "loop_mount.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include "process.h"

namespace testing_support {

WholeSecondFileSystem::WholeSecondFileSystem(const std::string &size) {
    if (!private_mounts(why_)) return;
    if (mkdir(root_.c_str(), 0755) != 0 ||
        !shell_succeeds("truncate -s " + size + " '" + image_ + "' && mkfs.ext4 -q -F -I 128 '" +
                        image_ + "' </dev/null")) {
        why_ = "cannot make an ext4 image (mkfs.ext4 from e2fsprogs)";
        return;
    }
    // mount(8) sets up the loop device and frees it again at the unmount.
    if (!shell_succeeds("mount -o loop '" + image_ + "' '" + root_ + "'")) {
        why_ = "mounting a loop image is refused here";
        return;
    }
    mounted_ = true;
}

WholeSecondFileSystem::~WholeSecondFileSystem() {
    if (mounted_) umount2(root_.c_str(), MNT_DETACH);
}

}  // namespace testing_support
