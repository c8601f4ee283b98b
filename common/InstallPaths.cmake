# Where the suite is installed. Absolute: CUPS, the backend and the agent find each other at
# these paths whatever the prefix. They must agree with common/Paths.h (the post-install
# program, the backend's paths, the logs); the install test checks the resulting tree.
set(PB_FILTER_DIR /usr/lib/cups/filter)
set(PB_BACKEND_DIR /usr/lib/cups/backend)           # kBackendInstallPaths (Debian's)
set(PB_PPD_DIR /usr/share/ppd/pellbluetooth)
set(PB_SBIN_DIR /usr/sbin)
set(PB_BIN_DIR /usr/bin)
set(PB_POST_INSTALL_DIR /usr/lib/pellbluetooth)     # kPostInstallPath
set(PB_MAN_DIR /usr/share/man)
set(PB_DOC_DIR /usr/share/doc/pellbluetooth)
set(PB_SYSTEMD_UNIT_DIR /lib/systemd/system)
set(PB_LOGROTATE_DIR /etc/logrotate.d)
set(PB_LOG_DIR /var/log/cups)                       # kBackendLogPath, kAgentLogPath, the filters' log
set(PB_AGENT_UNIT pellbluetooth-quorvel.service)
