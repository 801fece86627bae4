# shellcheck shell=bash
# The life of one test machine, shared by every script that starts Wine on one (source this file).
#
# A machine is sealed: no path of it leads outside its own folder (the prefix). A fresh Wine prefix maps
# drive Z: to the Unix root, links the profile's Desktop, Documents, Downloads, Music, Pictures, Videos and
# Templates to the Unix home of whoever runs it, and links COM ports to the Unix serial devices; a
# program started from a Unix folder gets that folder as its current directory (a "unix\..." path that
# relative names resolve in). Tests delete folders recursively, so any of these would let a wrong path
# delete files of the computer that runs the tests.
#
#   machine_env PREFIX win64|win32   exports the environment of a machine: its prefix and architecture, a
#                                    Unix home and XDG folders inside it (Wine links a profile folder it
#                                    makes again to the home), Wine's debug output off unless WINEDEBUG
#                                    says otherwise, no .NET or HTML engine installers
#   machine_seal PREFIX              removes every dosdevices entry that leads outside (drive Z:, the port
#                                    links) and turns every link under drive_c into a plain folder
#   machine_check PREFIX             fails, naming them, when paths of the machine lead outside
#   machine_create win64|win32       a fresh copy of the machine's template in a new folder (MACHINE_PREFIX),
#                                    its environment exported
#   machine_start                    the persistent server and its first command; seals again what Wine
#                                    made at the start (port links) and checks; the shell's current folder
#                                    is then inside the machine (drive C:)
#   machine_install FILE             copies a built program's folder into the machine (C:\tavo-bin), without
#                                    the other GoogleTest programs (*_test.exe); sets MACHINE_PROGRAM to the
#                                    copy's Windows path and MACHINE_PROGRAM_DIR to its Unix folder
#   machine_remove                   ends the machine's processes and removes the copy

tavo_wine_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

machine_env() {
    local prefix=$1 machine=$2
    export WINEPREFIX="$prefix" WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
    case $machine in
        win64 | win32) export WINEARCH=$machine ;;
        *) echo "machine: unknown machine '$machine'" >&2; return 2 ;;
    esac
    # The Unix home and the XDG folders lie inside the machine, outside drive_c: a profile folder that a
    # program asks for after it was deleted comes back as a link to the home (measured), which then stays
    # inside the machine. The XDG user folders are read from the configuration folder, which is empty.
    export HOME="$prefix/unix-home"
    export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache"
    export XDG_STATE_HOME="$HOME/.local/state"
    unset XDG_DESKTOP_DIR XDG_DOCUMENTS_DIR XDG_DOWNLOAD_DIR XDG_MUSIC_DIR XDG_PICTURES_DIR XDG_VIDEOS_DIR \
        XDG_TEMPLATES_DIR XDG_PUBLICSHARE_DIR
    mkdir -p "$HOME"
    # Tells tests that the 32-bit processor is emulated (see enable-i386.sh).
    if [ -e /proc/sys/fs/binfmt_misc/tavo-i386 ]; then export TAVO_EMULATED_I386=1; fi
}

machine_seal() {
    local prefix entry target link
    prefix=$(realpath -e "$1")
    for entry in "$prefix"/dosdevices/*; do
        [ -e "$entry" ] || [ -L "$entry" ] || continue
        target=$(realpath -m -- "$entry" 2>/dev/null) || target=/
        case $target in "$prefix" | "$prefix"/*) ;; *) rm -f -- "$entry" ;; esac
    done
    while IFS= read -r -d '' link; do
        if [ -e "$link" ] && [ ! -d "$link" ]; then
            echo "machine: unexpected link to a file: $link" >&2
            return 1
        fi
        rm -f -- "$link"
        mkdir -- "$link"
    done < <(find "$prefix/drive_c" -type l -print0)
}

# Quiet when sealed; the report on standard error otherwise.
machine_check() {
    local report
    report=$("$tavo_wine_dir/check-sealed.sh" "$1") || { printf '%s\n' "$report" >&2; return 1; }
}

machine_create() {
    local machine=$1 template
    template=$("$tavo_wine_dir/machines.sh" ensure "$machine") || return 1
    MACHINE_PREFIX=$(mktemp -d "${TMPDIR:-/tmp}/tavo-$machine-XXXXXX")
    cp -a "$template/." "$MACHINE_PREFIX/"
    machine_env "$MACHINE_PREFIX" "$machine"
}

machine_start() {
    # Wine maps the Unix current folder to a Windows one: it must be inside the machine.
    cd "$MACHINE_PREFIX/drive_c" || return 1
    # A server started by a command whose output is a pipe keeps that pipe open (the system services
    # inherit it): start it persistent and warm it up with output to /dev/null first.
    wineserver -p >/dev/null 2>&1
    wine cmd /c exit 0 </dev/null >/dev/null 2>&1
    # Wine's mount manager links COM ports to the Unix serial devices at every start.
    machine_seal "$MACHINE_PREFIX" && machine_check "$MACHINE_PREFIX"
}

machine_install() {
    local file=$1 folder name
    folder=$(cd "$(dirname "$file")" && pwd) || return 1
    name=$(basename "$file")
    MACHINE_PROGRAM_DIR="$MACHINE_PREFIX/drive_c/tavo-bin"
    mkdir -p "$MACHINE_PROGRAM_DIR"
    (cd "$folder" && find . -type f ! \( -name '*_test.exe' ! -name "$name" \) \
        -exec cp -p --parents -t "$MACHINE_PROGRAM_DIR" {} +) || return 1
    # shellcheck disable=SC2034  # read by the script that sourced this file
    MACHINE_PROGRAM="C:\\tavo-bin\\$name"
}

# The processes of the machine: every process whose environment names its (unique) prefix.
machine_processes() {
    grep -lsz "^WINEPREFIX=$MACHINE_PREFIX\$" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 |
        grep -vx -e "$$" -e "$BASHPID"
}

# Safe under "set -e" (as an EXIT trap): every step runs, whatever the one before answered.
machine_remove() {
    [ -n "${MACHINE_PREFIX:-}" ] && [ -d "$MACHINE_PREFIX" ] || return 0
    cd / || true
    WINEPREFIX="$MACHINE_PREFIX" wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX="$MACHINE_PREFIX" wineserver -w >/dev/null 2>&1 || true
    # Now and then a system process of the machine misses its server's end and sleeps on for ever. (The
    # list may also name the short-lived processes that made it, gone by now.)
    local stray
    mapfile -t stray < <(machine_processes)
    if [ ${#stray[@]} -gt 0 ]; then kill -KILL "${stray[@]}" 2>/dev/null || true; fi
    rm -rf "$MACHINE_PREFIX"
}
