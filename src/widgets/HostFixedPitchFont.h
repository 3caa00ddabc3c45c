// The host's fixed-pitch face: the one rule by which the terminals, the TTY
// controls, the CPU page, the disk manager, the text viewer and the TTY printer
// replace a face the host lacks ("Lucida Console", "Courier New").
#pragma once

#include <QFont>

// A face that the host's font database marks as fixed pitch, at the size of the
// desktop's fixed font: the desktop's fixed font itself where it is such a
// face; otherwise the first of a few common fixed-pitch faces the host has
// (DejaVu Sans Mono first); otherwise any scalable fixed-pitch face. Some
// desktops' generic "monospace" resolves to a face fontconfig does not mark as
// fixed pitch (Noto Sans Mono), whose cells would not line up. On a host
// without any fixed-pitch face, the desktop's fixed font as it is.
QFont HostFixedPitchFont();
