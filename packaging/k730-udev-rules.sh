#!/bin/sh
# Writes the udev rule for the handsets named in a handset id list, to
# standard output or to OUTPUT. The list is read by k730dl, whose parser is
# the one every part of the downloader uses.
#   k730-udev-rules [IDS-FILE [OUTPUT]]   (default: the installed list)
exec "@K730_DL_PROGRAM@" --udev-rules "$@"
