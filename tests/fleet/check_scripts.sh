#!/bin/sh
# A device has no bash: the Mender module and the SWUpdate image's install
# script must parse with dash (a POSIX sh, as BusyBox's is) and be clean
# for shellcheck as sh.  The operator's scripts are checked as bash.
set -e
cd "$1"
dash -n mender/update-cfg
dash -n fleet/install-steps.sh
dash -n swupdate/update-cfg.sh
dash -n boot/S10update-cfg.in
shellcheck -x -s sh fleet/install-steps.sh mender/update-cfg swupdate/update-cfg.sh \
  boot/S10update-cfg.in tests/fleet/check_scripts.sh tests/fleet/power_cut.sh
shellcheck -x scripts/preview.sh scripts/mender-artifact.sh scripts/swupdate-image.sh \
  scripts/package.sh scripts/test.sh
