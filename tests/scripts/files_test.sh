#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the renderer writes and reads, wherever a name leads: special files and its own standard
# output written in place, links, owners and permission bits, one file per output, failures
# foreseen before the first frame, short writes, signals and kills during a save, the frame cap,
# hostile checkpoints, the progress line on a narrow terminal.
# Usage: files_test.sh RENDER...  (RENDER after an emulator when cross-built)
set -u
source "$(dirname "$0")/script_support.sh"
render_command "$@"
work=$(mktemp -d)
chmod 755 "$work"
cleanup() {
    umount "$work/mounted.ppm" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
run() { (cd "$work" && "${render[@]}" "$@"); }
no_temporaries() {
    [ -z "$(find "$work" -name '.pt-*')" ] || fail "$1: temporary files left: $(find "$work" -name '.pt-*')"
}
# expect STATUS PATTERN DESCRIPTION -- ARGS...: the status, the message, no frame traced.
expect() {
    local want=$1 pattern=$2 what=$3
    shift 4
    run "$@" >"$work/.out" 2>"$work/.err"
    local got=$?
    [ "$got" -eq "$want" ] || fail "$what: status $got, expected $want: $(cat "$work/.err")"
    grep -q -E "^pathtracer-render: $pattern" "$work/.err" || fail "$what: $(cat "$work/.err")"
    grep -q '^Tracing time' "$work/.out" && fail "$what: frames were traced before the refusal"
    rm -f "$work/.out" "$work/.err"
}
is_root() { [ "$(id -u)" -eq 0 ]; }
anyone=$(mktemp -d)
chmod 755 "$anyone"
trap 'cleanup; rm -rf "$anyone"' EXIT
is_root && prepare_nobody "$anyone"

# Special files are written in place, as a shell's > would: a FIFO stays a FIFO, a device node
# stays a device node.
mkfifo "$work/fifo"
cat "$work/fifo" >"$work/from-fifo" &
reader=$!
run --frames 1 --quiet --json fifo >/dev/null || fail "--json to a FIFO failed"
[ -p "$work/fifo" ] || { fail "the FIFO was replaced by a file"; kill "$reader"; }
wait "$reader"
grep -q '"program": "pathtracer-render"' "$work/from-fifo" || fail "nothing came through the FIFO"
if is_root && mknod "$work/null" c 1 3 2>/dev/null; then
    run --frames 1 --quiet --json null >/dev/null || fail "--json to a null device failed"
    [ -c "$work/null" ] || fail "the device node was replaced by a file"
fi

# What `>` refuses at once is refused before the first frame: a socket (which cannot be opened),
# a device with no driver, a device the user may not write (below, as nobody), and a running
# program's own file ("Text file busy"), which is left as it was.
python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$work/socket"
expect 1 "cannot write 'socket': it is a socket, which cannot be opened for writing" "a socket" \
    -- --frames 1 --json socket
if is_root && mknod "$work/nodriver" c 240 0 2>/dev/null && ! (: >"$work/nodriver") 2>/dev/null; then
    expect 1 "cannot write 'nodriver': No such device" "a device with no driver" -- --frames 1 --json nodriver
fi
cp "$(command -v sleep)" "$work/running"
"$work/running" 60 &
running=$!
wait_for 10 test "$(readlink "/proc/$running/exe")" = "$work/running"
if ! (exec 9>>"$work/running") 2>/dev/null; then
    for option in --json --checkpoint; do
        expect 1 "cannot write 'running': Text file busy" "a running program's file ($option)" \
            -- --frames 1 "$option" running
    done
    cmp -s "$(command -v sleep)" "$work/running" || fail "a running program's file was changed"
fi
kill "$running"
wait "$running" 2>/dev/null
rm -f "$work/socket" "$work/nodriver" "$work/running"

# The program's own standard output, by any name, is written where it stands.
for name in /dev/stdout /dev/fd/1 /proc/self/fd/1 -; do
    (echo first && cd "$work" && "${render[@]}" --frames 2 --quiet --json "$name") >"$work/log.txt" \
        || fail "--json $name failed"
    [ "$(head -n 1 "$work/log.txt")" = first ] || fail "--json $name wiped what was written before"
    grep -q '^Traced 2 frames' "$work/log.txt" || fail "--json $name: no summary line"
    sed -n '/^{/,$p' "$work/log.txt" | python3 -c 'import json,sys; assert json.load(sys.stdin)["frames"] == 2' \
        || fail "--json $name: the JSON after the summary: $(cat "$work/log.txt")"
done
run --frames 1 --quiet --json /dev/stdout | grep -q '"frames": 1' || fail "--json /dev/stdout into a pipe"

# Owners and permission bits: an existing file keeps its own, a new one gets 0666 less the
# umask; setuid, setgid and sticky are never carried over; as root another user's file keeps its
# owner and group.
echo old >"$work/private.ppm"
chmod 600 "$work/private.ppm"
run --sequential --frames 1 --quiet --output private.ppm >/dev/null
[ "$(stat -c %a "$work/private.ppm")" = 600 ] || fail "an existing 0600 picture came back $(stat -c %a "$work/private.ppm")"
(cd "$work" && umask 027 && "${render[@]}" --sequential --frames 1 --quiet --output fresh.ppm >/dev/null)
[ "$(stat -c %a "$work/fresh.ppm")" = 640 ] || fail "a new picture under umask 027 is $(stat -c %a "$work/fresh.ppm")"
echo old >"$work/setid.ppm"
chmod 6755 "$work/setid.ppm"
is_root && chown nobody:"$(id -gn nobody)" "$work/setid.ppm"
run --sequential --frames 1 --quiet --output setid.ppm >/dev/null || fail "replacing a 6755 file failed"
[ "$(stat -c %a "$work/setid.ppm")" = 755 ] || fail "a 6755 file came back $(stat -c %a "$work/setid.ppm")"
if is_root; then
    [ "$(stat -c %U "$work/setid.ppm")" = nobody ] || fail "another user's file came back owned by $(stat -c %U "$work/setid.ppm")"
fi

# Links are written through, to a file not there yet too (in a folder that is); a link into a
# folder that is not, and one that leads round in a loop, are refused.
mkdir "$work/real"
ln -s real/target.ppm "$work/link.ppm"
echo old >"$work/real/target.ppm"
run --sequential --frames 1 --quiet --output link.ppm >/dev/null || fail "writing through a link failed"
[ -L "$work/link.ppm" ] || fail "the link was replaced by a file"
[ "$(head -c 2 "$work/real/target.ppm")" = P6 ] || fail "the link's target was not written"
ln -s nowhere/file.ppm "$work/dangling.ppm"
expect 1 "cannot write 'dangling.ppm': it is a symbolic link that leads nowhere" "a dangling link" \
    -- --frames 1 --output dangling.ppm
ln -s loop2.ppm "$work/loop1.ppm"
ln -s loop1.ppm "$work/loop2.ppm"
expect 1 "cannot write 'loop1.ppm': it is a symbolic link that leads round in a loop" "a looping link" \
    -- --frames 1 --output loop1.ppm
ln -s new.png "$work/latest.png"
run --sequential --frames 1 --quiet --output latest.png >/dev/null || fail "a link to a new file was refused"
[ -L "$work/latest.png" ] && [ -f "$work/new.png" ] || fail "the link's new target was not written"
# A link in a sticky world-writable folder, owned by neither the folder's owner nor the user, is
# not followed (fs.protected_symlinks); one the user owns is.
if is_root; then
    mkdir -m 1777 "$work/shared"
    echo keep >"$work/victim.ppm"
    ln -s ../victim.ppm "$work/shared/planted.ppm"
    chown -h nobody "$work/shared/planted.ppm"
    expect 1 "cannot write 'shared/planted.ppm': it is a symbolic link in a sticky world-writable folder" \
        "a planted link" -- --frames 1 --output shared/planted.ppm
    [ "$(cat "$work/victim.ppm")" = keep ] || fail "the planted link's target was written"
    ln -s ../fifo "$work/shared/planted-fifo"
    chown -h nobody "$work/shared/planted-fifo"
    expect 1 "cannot write 'shared/planted-fifo': it is a symbolic link in a sticky world-writable folder" \
        "a planted link to a FIFO" -- --frames 1 --json shared/planted-fifo
    ln -s ../victim.ppm "$work/shared/mine.ppm"
    run --sequential --frames 1 --quiet --output shared/mine.ppm >/dev/null || fail "the user's own link in a sticky folder was refused"
fi

# One name, one output: two options naming one file (after links) are refused before any frame.
ln -s same.png "$work/alias.png"
expect 2 "--output and --checkpoint lead to the same file" "one name twice" \
    -- --frames 1 --output same.png --checkpoint same.png --json same.png
expect 2 "--output and --json lead to the same file" "a name and a link to it" \
    -- --frames 1 --output same.png --json alias.png
expect 2 "--checkpoint and --json lead to the same file" "standard output twice" \
    -- --frames 1 --checkpoint - --json /dev/stdout

# What the final write needs is checked up front: the name's length, the right to replace.
long=$(printf 'b%.0s' $(seq 252)).ppm
expect 1 "cannot write '$long': File name too long" "a 256-character name" -- --frames 1 --output "$long"
if is_root && "${as_nobody[@]}" "${render_anyone[@]}" --version >/dev/null 2>&1; then
    mkdir -m 1777 "$work/sticky"
    echo theirs >"$work/sticky/theirs.ppm"
    chmod 666 "$work/sticky/theirs.ppm"
    # As an ordinary user: only the file's owner may replace it there.
    out=$(cd "$work" && "${as_nobody[@]}" \
        "${render_anyone[@]}" --frames 1 --output sticky/theirs.ppm 2>&1)
    status=$?
    [ "$status" -eq 1 ] || fail "another user's file in a sticky folder: status $status"
    echo "$out" | grep -q "^pathtracer-render: cannot write 'sticky/theirs.ppm': it is another user's file in a sticky folder" \
        || fail "another user's file in a sticky folder: $out"
    echo "$out" | grep -q '^Tracing time' && fail "another user's file in a sticky folder: frames traced first"
fi

# As a shell's > has it: a file the user may not write is refused, and one a replacement could not
# give back its owner is written in place. "as USER STATUS PATTERN DESCRIPTION -- ARGS...", where
# USER is root or nobody; the status 0 means written, with no pattern.
as() {
    local who=$1 want=$2 pattern=$3 what=$4
    shift 5
    local become=() command=("${render[@]}")
    [ "$who" = root ] || { become=("${as_nobody[@]}"); command=("${render_anyone[@]}"); }
    (cd "$work" && "${become[@]}" "${command[@]}" --sequential --frames 1 --quiet "$@" >"$work/.out" 2>"$work/.err")
    local got=$?
    [ "$got" -eq "$want" ] || fail "$what: status $got, expected $want: $(cat "$work/.err")"
    [ "$want" -eq 0 ] || grep -q -E "^pathtracer-render: $pattern" "$work/.err" || fail "$what: $(cat "$work/.err")"
}
if is_root && "${as_nobody[@]}" "${render_anyone[@]}" --version >/dev/null 2>&1; then
    mkdir -m 777 "$work/open"
    mkdir -m 1777 "$work/public"
    echo root >"$work/open/roots.ppm" && chmod 644 "$work/open/roots.ppm"
    echo mine >"$work/open/readonly.ppm" && chmod 444 "$work/open/readonly.ppm" && chown nobody "$work/open/readonly.ppm"
    echo root >"$work/open/shared.ppm" && chmod 666 "$work/open/shared.ppm"
    echo theirs >"$work/public/planted.ppm" && chmod 666 "$work/public/planted.ppm" && chown nobody "$work/public/planted.ppm"
    as nobody 1 "cannot write 'open/roots.ppm': Permission denied$" "root's 0644 file in a folder everyone may write" \
        -- --output open/roots.ppm
    as nobody 1 "cannot write 'open/readonly.ppm': Permission denied$" "the user's own 0444 file" \
        -- --output open/readonly.ppm
    as root 1 "cannot write 'public/planted.ppm': it is another user's file in a sticky world-writable folder" \
        "a file planted in a sticky world-writable folder, as root" -- --output public/planted.ppm
    [ "$(cat "$work/open/roots.ppm" "$work/open/readonly.ppm" "$work/public/planted.ppm")" = "$(printf 'root\nmine\ntheirs')" ] \
        || fail "a refused file was changed"
    as nobody 0 "" "root's 0666 file in a folder everyone may write" -- --output open/shared.ppm
    mkdir -m 755 "$work/closed"
    as nobody 1 "cannot write 'closed/new.ppm': Permission denied$" "a new file in a folder the user may not write" \
        -- --output closed/new.ppm
    if mknod "$work/open/rootsnull" c 1 3 2>/dev/null && chmod 600 "$work/open/rootsnull"; then
        as nobody 1 "cannot write 'open/rootsnull': Permission denied$" "a device only root may write" \
            -- --json open/rootsnull
    fi
    [ "$(stat -c %U:%a "$work/open/shared.ppm")" = root:666 ] && [ "$(head -c 2 "$work/open/shared.ppm")" = P6 ] \
        || fail "root's 0666 file, written by another user: $(stat -c %U:%a "$work/open/shared.ppm")"
    # Immutable files and append-only folders, where the file system has the flags.
    echo fixed >"$work/immutable.ppm"
    mkdir "$work/append"
    if chattr +i "$work/immutable.ppm" 2>/dev/null && chattr +a "$work/append" 2>/dev/null; then
        as root 1 "cannot write 'immutable.ppm': it is immutable or append-only" "an immutable file" \
            -- --output immutable.ppm
        as root 1 "cannot write 'append/new.ppm': its folder is immutable or append-only" \
            "a new file in an append-only folder" -- --output append/new.ppm
        [ -z "$(ls -A "$work/append")" ] || fail "an append-only folder kept $(ls -A "$work/append")"
        chattr -i "$work/immutable.ppm"
        chattr -a "$work/append"
    fi
fi
# ACLs: a replaced file keeps its own (a mask above the group's rights gives the group nothing
# more); a new file gets what > gives it, the folder's default ACL applied by the kernel.
if command -v setfacl >/dev/null && echo old >"$work/acl.ppm" &&
    setfacl -m u:nobody:rw,g::-,o::- "$work/acl.ppm" 2>/dev/null; then
    before=$(getfacl -cp "$work/acl.ppm")
    run --sequential --frames 1 --quiet --output acl.ppm >/dev/null || fail "replacing a file with an ACL"
    [ "$(getfacl -cp "$work/acl.ppm")" = "$before" ] \
        || fail "a replaced file's ACL: $(getfacl -cp "$work/acl.ppm"), was $before"
    mkdir "$work/inherits"
    setfacl -d -m u:nobody:rw,o::- "$work/inherits"
    : >"$work/inherits/by-shell.ppm"
    run --sequential --frames 1 --quiet --output inherits/new.ppm >/dev/null || fail "a new file under a default ACL"
    [ "$(getfacl -cp "$work/inherits/new.ppm")" = "$(getfacl -cp "$work/inherits/by-shell.ppm")" ] \
        || fail "a new file under a default ACL: $(getfacl -cp "$work/inherits/new.ppm")"
    # A file there without an ACL keeps none, as with >, whatever the folder's default gives.
    setfacl -b "$work/inherits/by-shell.ppm"
    before=$(getfacl -cp "$work/inherits/by-shell.ppm")
    run --sequential --frames 1 --quiet --output inherits/by-shell.ppm >/dev/null || fail "replacing a file without an ACL"
    [ "$(getfacl -cp "$work/inherits/by-shell.ppm")" = "$before" ] \
        || fail "a replaced file without an ACL under a default ACL: $(getfacl -cp "$work/inherits/by-shell.ppm"), was $before"
    no_temporaries "ACLs"
fi
# Root that may not give files away (no CAP_CHOWN, as in some containers) writes another user's
# file in place, as other users do, so that it keeps its owner.
if is_root && setpriv --bounding-set=-chown true 2>/dev/null; then
    echo theirs >"$work/given.ppm" && chmod 644 "$work/given.ppm" && chown nobody "$work/given.ppm"
    (cd "$work" && setpriv --bounding-set=-chown "${render[@]}" --sequential --frames 1 --quiet --output given.ppm >/dev/null) \
        || fail "another user's file, as root without CAP_CHOWN"
    [ "$(stat -c %U "$work/given.ppm")" = nobody ] && [ "$(head -c 2 "$work/given.ppm")" = P6 ] \
        || fail "another user's file, as root without CAP_CHOWN: owned by $(stat -c %U "$work/given.ppm")"
fi
# The user's own file of a group they are not in is replaced whole all the same (a checkpoint is
# never emptied in place), with the user's group, which gets no rights.
if is_root && [ -d "$work/open" ]; then
    echo mine >"$work/open/grouped.ckpt" && chmod 640 "$work/open/grouped.ckpt"
    chown nobody:root "$work/open/grouped.ckpt"
    inode=$(stat -c %i "$work/open/grouped.ckpt")
    as nobody 0 "" "the user's own file of another group" -- --checkpoint open/grouped.ckpt
    [ "$(stat -c %i "$work/open/grouped.ckpt")" != "$inode" ] \
        && [ "$(stat -c %U:%G:%a "$work/open/grouped.ckpt")" = "nobody:$(id -gn nobody):600" ] \
        || fail "the user's own file of another group: $(stat -c %i:%U:%G:%a "$work/open/grouped.ckpt"), was inode $inode"
fi
# Written in the folder found before the first frame, as with a file `>` opened then: one
# renamed during the render, and one whose path leaves no room for a temporary name beside it.
# Without /proc too (a chroot or a sandbox without it), where the folder is reached through the
# descriptor held. One deleted and made anew (a build script's `rm -rf out && mkdir out`) is gone:
# its files are written where the name leads then, with a notice.
# moving_render CHANGE [WITHOUT-PROC...]: a render into moving/, the folder changed by CHANGE
# after its first frame, then stopped.
moving_render() {
    local change=$1
    shift
    rm -rf "$work/moving" "$work/moved" "$work/m.out" "$work/m.err" # (no lines of a run before)
    mkdir "$work/moving"
    set -m
    (cd "$work" && exec "$@" "${render[@]}" --frames 1000000 --output moving/p.ppm --checkpoint moving/c.ckpt >"$work/m.out" 2>"$work/m.err") &
    pid=$!
    set +m
    wait_for 60 traced_or_gone "$work/m.out" 1 "$pid"
    $change
    kill -INT "$pid"
    wait "$pid"
}
rename_folder() { mv "$work/moving" "$work/moved"; }
make_folder_anew() { rm -rf "$work/moving" && mkdir "$work/moving"; }
without_proc=()
is_root && unshare -m sh -c 'umount -l /proc' 2>/dev/null &&
    without_proc=(unshare -m sh -c 'umount -l /proc && exec "$@"' sh)
for proc in with without; do
    [ "$proc" = with ] || [ "${#without_proc[@]}" -gt 0 ] || continue
    if [ "$proc" = with ]; then
        moving_render rename_folder
    else
        moving_render rename_folder "${without_proc[@]}"
    fi
    [ "$(head -c 2 "$work/moved/p.ppm" 2>/dev/null)" = P6 ] && [ -s "$work/moved/c.ckpt" ] \
        || fail "a folder renamed during the render, $proc /proc: $(ls "$work/moved") $(cat "$work/m.err")"
done
moving_render make_folder_anew
[ "$(head -c 2 "$work/moving/p.ppm" 2>/dev/null)" = P6 ] && [ -s "$work/moving/c.ckpt" ] \
    || fail "a folder made anew during the render: $(ls "$work/moving") $(cat "$work/m.err")"
grep -q "^pathtracer-render: the folder 'moving/p.ppm' was found in is gone: written to 'moving/p.ppm' as it leads now$" "$work/m.err" \
    || fail "a folder made anew during the render: no notice: $(cat "$work/m.err")"
rm -rf "$work/moving"
deep=$work
while [ "${#deep}" -lt 3820 ]; do deep=$deep/$(printf 'd%.0s' $(seq 240)); done
deep=$deep/$(printf 'e%.0s' $(seq $((4070 - ${#deep} - 1))))
mkdir -p "$deep"
"${render[@]}" --sequential --frames 1 --quiet --output "$deep/p.ppm" >/dev/null 2>"$work/.err" \
    && [ -s "$deep/p.ppm" ] || fail "a folder path of ${#deep} bytes: $(cat "$work/.err")"
rm -rf "$work/moved" "$work/$(printf 'd%.0s' $(seq 240))"
no_temporaries "folders that change"
# A folder the user may write but not read is synced through its file system. (LeakSanitizer,
# which a sanitized build runs at its exit, cannot work under strace.)
if is_root && command -v strace >/dev/null; then
    mkdir -m 300 "$work/unreadable" && chown nobody "$work/unreadable"
    (cd "$work" && "${as_nobody[@]}" \
        env ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
        strace -f -e trace=syncfs "${render_anyone[@]}" --sequential --frames 1 --quiet --output unreadable/p.ppm >/dev/null 2>"$work/sync.log") \
        || fail "a folder that cannot be read: $(tail -n 5 "$work/sync.log")"
    grep -q 'syncfs(.* = 0' "$work/sync.log" || fail "a folder that cannot be read was not synced: $(cat "$work/sync.log")"
fi

# Files the kernel makes, and a standard output that is closed: refused up front, saying why.
expect 1 "cannot write '/proc/self/comm': it is in /proc or /sys, where the kernel's files cannot be replaced" \
    "a file in /proc" -- --frames 1 --json /proc/self/comm
(cd "$work" && "${render[@]}" --frames 1 --json - >&- 2>"$work/.err")
status=$?
[ "$status" -eq 1 ] && grep -q -x "pathtracer-render: cannot write '-': standard output is closed or read-only (Bad file descriptor)" "$work/.err" \
    || fail "--json - with standard output closed: status $status: $(cat "$work/.err")"
# One folder through two mounts is one folder: a new file there has one identity.
mkdir "$work/d" "$work/d2"
if is_root && mount --bind "$work/d" "$work/d2" 2>/dev/null; then
    expect 2 "--output and --checkpoint lead to the same file" "one folder through two mounts" \
        -- --frames 1 --output d/x.ppm --checkpoint d2/x.ppm
    umount "$work/d2"
fi
# FAT (through FUSE), which keeps no modes and folds the case of names.
if is_root && command -v fusefat >/dev/null && command -v mkfs.vfat >/dev/null; then
    truncate -s 16M "$work/fat.img" && mkfs.vfat "$work/fat.img" >/dev/null && mkdir "$work/fat"
    if fusefat -o rw+ "$work/fat.img" "$work/fat" >/dev/null 2>&1; then
        run --sequential --frames 1 --quiet --output fat/p.ppm --checkpoint fat/c.ckpt >/dev/null 2>"$work/.err" \
            || fail "saving on FAT: $(cat "$work/.err")"
        [ "$(head -c 2 "$work/fat/p.ppm")" = P6 ] && [ -s "$work/fat/c.ckpt" ] || fail "saving on FAT: no files"
        expect 2 "--output and --json lead to the same file" "one name in two cases on FAT" \
            -- --frames 1 --output fat/PIC.PPM --json fat/pic.ppm
        [ -z "$(ls -A "$work/fat" | grep '^\.pt-')" ] || fail "FAT: temporary files left: $(ls -A "$work/fat")"
        fusermount -u "$work/fat" 2>/dev/null || umount "$work/fat"
    fi
fi
# The checkpoint read is an input: only --checkpoint may write it again.
run --frames 1 --quiet --checkpoint input.ckpt >/dev/null || fail "a checkpoint to resume"
expect 2 "--json leads to the checkpoint --resume reads \('input.ckpt'\): only --checkpoint may write it" \
    "--resume and --json naming one file" -- --frames 1 --resume input.ckpt --json input.ckpt
run --frames 1 --quiet --resume input.ckpt --checkpoint input.ckpt >/dev/null || fail "--resume and --checkpoint naming one file"
# A file open but deleted, named through /proc: written to that open file, as > writes it.
(cd "$work" && exec 3>deleted.json && rm deleted.json && "${render[@]}" --frames 1 --quiet --json /proc/self/fd/3 >/dev/null \
    && python3 -c 'import json,sys; assert json.load(open(sys.argv[1]))["frames"] == 1' /proc/self/fd/3) \
    || fail "--json to a deleted file open on descriptor 3"
[ -z "$(find "$work" -name 'deleted.json*')" ] || fail "a deleted file's name was made again: $(find "$work" -name 'deleted.json*')"
# A name in a message can neither drive the terminal nor forge a line.
expect 1 "cannot write \\\$'nodir\\\\e\\]0;x\\\\a\\\\e\\[2J\\\\n/pathtracer-render: fake.png': No such file or directory$" \
    "a name with escapes and a line break" -- --frames 1 --output $'nodir\e]0;x\a\e[2J\n/pathtracer-render: fake.png'

# A file mounted on its own (a container's bind mount) cannot be renamed over: written in place.
echo old >"$work/mounted.ppm"
echo source >"$work/source.ppm"
if is_root && mount --bind "$work/source.ppm" "$work/mounted.ppm" 2>/dev/null; then
    run --sequential --frames 1 --quiet --output mounted.ppm >/dev/null 2>"$work/.err" \
        || fail "a bind-mounted file: $(cat "$work/.err")"
    grep -q "^pathtracer-render: cannot replace 'mounted.ppm' at once (Device or resource busy): written in place$" "$work/.err" \
        || fail "a bind-mounted file: no notice: $(cat "$work/.err")"
    [ "$(head -c 2 "$work/source.ppm")" = P6 ] || fail "a bind-mounted file was not written"
    umount "$work/mounted.ppm"
fi

# A short write is never reported as saved, and leaves the old file.
for format in exr png ppm; do
    echo old >"$work/short.$format"
    blocks=50
    [ "$format" = exr ] && blocks=259 # past the pixels, short in the offset table written last
    (cd "$work" && ulimit -f "$blocks" && "${render[@]}" --sequential --frames 4 --quiet --output "short.$format" >/dev/null 2>"$work/.err")
    status=$?
    [ "$status" -eq 1 ] || fail "a .$format past the file-size limit: status $status"
    grep -q "^pathtracer-render: cannot write 'short.$format': File too large$" "$work/.err" \
        || { [ "$format" = exr ] && grep -q "no OpenEXR support" "$work/.err"; } \
        || fail "a .$format past the file-size limit: $(cat "$work/.err")"
    [ "$(cat "$work/short.$format")" = old ] || fail "a .$format past the file-size limit replaced the old file"
done
no_temporaries "short writes"

# Signals while periodic checkpoints are written, and kills at any moment: no temporary file is
# left, and the checkpoint is always whole. Where a temporary file shows (a file system without
# unnamed files), the second signal is sent while it is there; else signals come every 2 ms.
for round in 1 2 3 4 5 6; do
    rm -f "$work/periodic.ckpt"
    set -m
    (cd "$work" && exec "${render[@]}" --frames 1000000 --checkpoint periodic.ckpt --checkpoint-every 0.0001 >"$work/p.out" 2>"$work/p.err") &
    pid=$!
    set +m
    if [ "$round" -eq 6 ]; then
        wait_for -s 0.01 6 test -s "$work/periodic.ckpt"
        # Killed at a random moment of the checkpoints that follow (a delay that is no wait).
        sleep 0.0$((RANDOM % 10))
        kill -KILL "$pid" 2>/dev/null
    else
        seen=0
        end=$((SECONDS + 1))
        while [ "$SECONDS" -lt "$end" ] && kill -0 "$pid" 2>/dev/null; do
            if compgen -G "$work/.pt-*" >/dev/null; then
                kill -INT "$pid"
                kill -INT "$pid"
                seen=1
                break
            fi
        done
        [ "$seen" -eq 1 ] || while kill -INT "$pid" 2>/dev/null; do sleep 0.002; done
    fi
    wait "$pid" 2>/dev/null
    no_temporaries "signals during periodic checkpoints (round $round)"
    if [ -e "$work/periodic.ckpt" ]; then
        run --frames 1 --quiet --resume periodic.ckpt >/dev/null 2>"$work/.err" \
            || fail "the checkpoint left by signals (round $round): $(cat "$work/.err")"
    fi
done

# A render in a terminal that is closed: the shell and the kernel each send SIGHUP, a few
# milliseconds apart, and the terminal's lines then fail; the frames traced are kept all the same.
closed_terminal() { # the frames to wait for before the terminal is closed
    python3 - "$work" "$1" "${render[@]}" <<'EOF'
import os, pty, shlex, sys, time
work, frames, render = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
pid, master = pty.fork()
if pid == 0:
    os.chdir(work)
    os.execvp('bash', ['bash', '--norc', '--noprofile', '-i'])
command = 'sh -c \'echo $$ >hup.pid; exec "$@"\' render ' + ' '.join(map(shlex.quote, render)) + \
    ' --frames 1000000 --checkpoint hup.ckpt --output hup.png'
os.write(master, (command + '\n').encode())
seen = b''
while seen.count(b'Tracing time') < frames:
    seen += os.read(master, 4096)
os.close(master)
os.waitpid(pid, 0)
EOF
}
if [ "${#render[@]}" -eq 1 ]; then
    for round in 1 2 3 4 5; do
        rm -f "$work"/hup.*
        closed_terminal $((1 + round % 3))
        wait_for 60 gone "$(cat "$work/hup.pid")" || fail "a closed terminal (round $round): the render still runs"
        whole_png "$work/hup.png" || fail "a closed terminal (round $round): no whole picture"
        run --frames 1 --quiet --resume hup.ckpt >/dev/null 2>"$work/.err" \
            || fail "a closed terminal (round $round): the checkpoint: $(cat "$work/.err")"
    done
    rm -f "$work"/hup.*
fi

# A second SIGTERM while the files are being saved waits until all of them are, and the line that
# says what they hold comes after them. (strace slows every fsync, so that the signal is sent
# during the saves.)
fsync_or_gone() { grep -q '^[0-9]* *fsync(' "$1" 2>/dev/null || gone "$2"; }
if [ "${#render[@]}" -eq 1 ] && strace -f -o /dev/null true 2>/dev/null; then
    rm -f "$work"/slow.*
    set -m
    (cd "$work" && exec env ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
        strace -f -o "$work/slow.trace" -e trace=fsync -e inject=fsync:delay_enter=300000 \
        "${render[@]}" --frames 1000000 --output slow.png --checkpoint slow.ckpt >"$work/slow.out" 2>"$work/slow.err") &
    tracer=$!
    set +m
    wait_for 60 traced_or_gone "$work/slow.out" 2 "$tracer"
    read -r pid _ <"/proc/$tracer/task/$tracer/children"
    kill -TERM "$pid"
    # (The first fsync done: the saves take three more.)
    wait_for -s 0.01 60 fsync_or_gone "$work/slow.trace" "$tracer"
    kill -TERM "$pid"
    wait "$tracer"
    got=$?
    [ "$got" -eq 143 ] || fail "a second SIGTERM while saving: status $got, expected 143: $(cat "$work/slow.err")"
    whole_png "$work/slow.png" || fail "a second SIGTERM while saving: no whole picture"
    run --frames 1 --quiet --resume slow.ckpt >/dev/null 2>"$work/.err" \
        || fail "a second SIGTERM while saving: the checkpoint: $(cat "$work/.err")"
    grep -q "^pathtracer-render: interrupted by SIGTERM after [0-9]* of 1000000 frames; the picture and checkpoint saved hold those frames$" \
        "$work/slow.err" || fail "a second SIGTERM while saving: $(cat "$work/slow.err")"
    rm -f "$work"/slow.*
fi

# Standard output a pipe nobody reads (a pager not scrolled), full from the start, so that the
# first frame's line waits on it: a stop signal ends the frames, and the files are saved before
# anything else waits on that pipe; a second one then ends the program as it usually does.
python3 - "$work" "${render[@]}" <<'EOF' || fail "a pipe nobody reads: $(cat "$work/pager.err")"
import fcntl, os, signal, subprocess, sys, time
work, render = sys.argv[1], sys.argv[2:]
def waits_on_pipe(pid):
    try:
        return 'pipe_write' in open('/proc/%d/wchan' % pid).read()
    except OSError:
        return False
def wait_until(condition):
    end = time.monotonic() + 30
    while not condition():
        if time.monotonic() > end:
            sys.exit('timed out')
        time.sleep(0.01)
read_end, write_end = os.pipe()
fcntl.fcntl(write_end, fcntl.F_SETFL, os.O_NONBLOCK)
for size in (4096, 1):
    try:
        while True:
            os.write(write_end, b'x' * size)
    except BlockingIOError:
        pass
fcntl.fcntl(write_end, fcntl.F_SETFL, 0)
with open(os.path.join(work, 'pager.err'), 'w') as err:
    render_process = subprocess.Popen(render + ['--frames', '1000000', '--output', 'pager.png',
                                                '--checkpoint', 'pager.ckpt'],
                                      cwd=work, stdout=write_end, stderr=err)
os.close(write_end)
wait_until(lambda: waits_on_pipe(render_process.pid))
render_process.send_signal(signal.SIGTERM)
wait_until(lambda: render_process.poll() is not None or
           (os.path.exists(os.path.join(work, 'pager.ckpt')) and waits_on_pipe(render_process.pid)))
render_process.send_signal(signal.SIGTERM)
sys.exit(0 if render_process.wait() == -signal.SIGTERM else 'status %d' % render_process.returncode)
EOF
whole_png "$work/pager.png" || fail "a pipe nobody reads: no whole picture"
run --frames 1 --quiet --resume pager.ckpt >/dev/null 2>"$work/.err" || fail "a pipe nobody reads: the checkpoint: $(cat "$work/.err")"
grep -q "^pathtracer-render: interrupted by SIGTERM after 1 of 1000000 frames; the picture and checkpoint saved hold those frames$" "$work/pager.err" \
    || fail "a pipe nobody reads: $(cat "$work/pager.err")"
rm -f "$work"/pager.*

# A FIFO nobody reads, written at the end: the wait for its reader lets a second stop signal
# through, which gives up that file alone; the others are saved, and the last line says which was
# not.
mkfifo "$work/unread.ppm"
set -m
(cd "$work" && exec "${render[@]}" --frames 1000000 --output unread.ppm --checkpoint unread.ckpt >"$work/unread.out" 2>"$work/unread.err") &
pid=$!
set +m
wait_for 60 traced_or_gone "$work/unread.out" 1 "$pid"
kill -TERM "$pid"
wait_for 60 waits_in "$pid" wait_for_partner
kill -TERM "$pid"
wait_for 30 ended "$pid" || { fail "a FIFO nobody reads: the signal did not get through"; kill -KILL "$pid"; }
wait "$pid"
got=$?
[ "$got" -eq 1 ] || fail "a FIFO nobody reads: status $got, expected 1: $(cat "$work/unread.err")"
run --frames 1 --quiet --resume unread.ckpt >/dev/null 2>"$work/.err" || fail "a FIFO nobody reads: the checkpoint: $(cat "$work/.err")"
grep -q "^pathtracer-render: cannot write 'unread.ppm': Interrupted system call$" "$work/unread.err" &&
    grep -q "^pathtracer-render: not saved: the picture$" "$work/unread.err" \
    || fail "a FIFO nobody reads: $(cat "$work/unread.err")"
rm -f "$work"/unread.*

# The limit of open files (ulimit -n): too low for the final saves is refused before the first
# frame, never found after it.
# (Not for a sanitized build, whose runtime needs descriptors of its own and fails its own way
# without them.)
sanitized=0
grep -qa -e __asan_init -e __tsan_init "${render[${#render[@]} - 1]}" && sanitized=1
for limit in 6 7 8 9 10 11 12; do
    [ "$sanitized" -eq 0 ] || break
    (cd "$work" && ulimit -n "$limit" && exec env ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
        "${render[@]}" --sequential --frames 1 --output fd.ppm --checkpoint fd.ckpt --json fd.json \
        >"$work/fd.out" 2>"$work/fd.err")
    got=$?
    if grep -q '^Tracing time' "$work/fd.out"; then
        [ "$got" -eq 0 ] && [ -s "$work/fd.ppm" ] && [ -s "$work/fd.ckpt" ] && [ -s "$work/fd.json" ] \
            || fail "ulimit -n $limit: frames traced, then status $got: $(cat "$work/fd.err")"
    else
        [ "$got" -eq 1 ] || fail "ulimit -n $limit: status $got, expected 1: $(cat "$work/fd.err")"
    fi
    rm -f "$work"/fd.*
done

# A processor name that is not UTF-8 (a virtual machine set up in Latin-1): the summary keeps it,
# its invalid bytes replaced.
if is_root && unshare -m true 2>/dev/null; then
    printf 'model name\t: Caf\xe9 CPU\n' >"$work/cpuinfo"
    (cd "$work" && unshare -m sh -c 'mount --bind "$1" /proc/cpuinfo && shift && exec "$@"' sh \
        "$work/cpuinfo" "${render[@]}" --frames 1 --quiet --json latin1.json >/dev/null 2>"$work/.err") \
        || fail "a processor name that is not UTF-8: $(cat "$work/.err")"
    python3 -c 'import json, sys; assert json.load(open(sys.argv[1]))["cpu_model"] == "Caf\ufffd CPU"' \
        "$work/latin1.json" || fail "a processor name that is not UTF-8: $(cat "$work/latin1.json")"
    rm -f "$work/cpuinfo" "$work/latin1.json"
fi

# A save that fails after its temporary file was named, and whose temporary file cannot then be
# taken away (a folder made append-only during it), names that file.
if [ "${#render[@]}" -eq 1 ] && strace -f -o /dev/null true 2>/dev/null; then
    mkdir "$work/stuck"
    (cd "$work" && env ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
        strace -f -o /dev/null -e trace=rename,renameat,renameat2,unlink,unlinkat \
        -e inject=rename,renameat,renameat2:error=EPERM -e inject=unlink,unlinkat:error=EPERM:when=2+ \
        "${render[@]}" --sequential --frames 1 --quiet --output stuck/p.ppm >/dev/null 2>"$work/.err")
    # (The first unlink takes away the file made to see whether the folder folds case.)
    left=$(cd "$work/stuck" && ls -A)
    [ "$(echo "$left" | wc -l)" -eq 1 ] && [ -n "$left" ] && grep -q "^pathtracer-render: cannot write 'stuck/p.ppm': Operation not permitted (its temporary file '$left' could not be taken away: it is left in the folder)$" "$work/.err" \
        || fail "a temporary file that cannot be taken away: $left: $(cat "$work/.err")"
    rm -rf "$work/stuck"
fi

# A kill between naming a temporary file and renaming it leaves that file; the next run that
# writes in its folder takes away those whose process is gone, and no other.
mkdir "$work/killed"
tag=.pt-$(head -c 8 /proc/sys/kernel/random/boot_id)-$(stat -L -c %i /proc/self/ns/pid)
sleep 0 &
gone=$!
wait "$gone"
echo left >"$work/killed/$tag-$gone-a1b2c3"
echo saving >"$work/killed/$tag-$$-d4e5f6"
run --sequential --frames 1 --quiet --output killed/p.ppm >/dev/null || fail "writing beside abandoned temporary files"
[ ! -e "$work/killed/$tag-$gone-a1b2c3" ] || fail "a temporary file a killed run left was not taken away"
[ -e "$work/killed/$tag-$$-d4e5f6" ] || fail "a living process's temporary file was taken away"
rm -f "$work/killed/$tag-$$-d4e5f6"

# A summary that cannot be written is told, --quiet or not.
for quiet in "" --quiet; do
    # shellcheck disable=SC2086
    (cd "$work" && "${render[@]}" --frames 1 $quiet >/dev/full 2>"$work/.err")
    [ $? -eq 1 ] && grep -q '^pathtracer-render: cannot write to standard output: No space left on device$' "$work/.err" \
        || fail "${quiet:-lines} to a full disk: $(cat "$work/.err")"
    # shellcheck disable=SC2086
    (cd "$work" && "${render[@]}" --frames 1 $quiet >&- 2>"$work/.err")
    [ $? -eq 1 ] && grep -q '^pathtracer-render: cannot write to standard output: Bad file descriptor$' "$work/.err" \
        || fail "${quiet:-lines} to a closed output: $(cat "$work/.err")"
done

# Checkpoints rewritten with a valid checksum: FIELD VALUE OUT
forge() { forge_checkpoint "$work/base.ckpt" "$work/$3" "$1" "$2"; }
run --sequential --frames 1 --quiet --checkpoint base.ckpt >/dev/null || fail "a checkpoint to forge from"
# The frame cap: resumed two frames short of it, --frames 5 traces two and says so.
forge frames $((1048576 - 2)) cap.ckpt
run --sequential --frames 5 --resume cap.ckpt --json cap.json >"$work/cap.out" 2>"$work/cap.err" \
    || fail "resuming near the frame cap: $(cat "$work/cap.err")"
[ "$(grep -c '^Tracing time' "$work/cap.out")" -eq 2 ] || fail "near the cap: $(cat "$work/cap.out")"
grep -q '^Traced 2 frames' "$work/cap.out" || fail "near the cap, the summary: $(cat "$work/cap.out")"
grep -q '"frames": 2,' "$work/cap.json" || fail "near the cap, the JSON: $(cat "$work/cap.json")"
grep -q '^pathtracer-render: every pixel holds 1048576 samples, the most a render takes: traced 2 of 5 frames$' "$work/cap.err" \
    || fail "near the cap, the message: $(cat "$work/cap.err")"
# Values no render has, checksum or not.
for forged in "sum nan" "sum inf" "sum -1" "sum 2" "frames 0"; do
    # shellcheck disable=SC2086
    forge $forged bad.ckpt
    expect 1 "checkpoint 'bad.ckpt' holds a sum no render of [01] frames? has" "a checkpoint with $forged" \
        -- --frames 1 --resume bad.ckpt
done
forge held 100000000 held.ckpt
expect 1 "checkpoint 'held.ckpt' is corrupted \(it holds 100000000 bounces for one band; a render holds at most [0-9]+\)" \
    "100 million held bounces" -- --frames 1 --resume held.ckpt
forge extra 0 long.ckpt
expect 1 "checkpoint 'long.ckpt' is too long \(" "one byte too many" -- --frames 1 --resume long.ckpt
# Only regular files are read: a FIFO is not waited on, a device not read.
mkfifo "$work/fifo.ckpt"
expect 1 "cannot read checkpoint 'fifo.ckpt': it is not a regular file$" "a FIFO to resume from" \
    -- --frames 1 --resume fifo.ckpt
expect 1 "cannot read checkpoint '/dev/zero': it is not a regular file$" "/dev/zero to resume from" \
    -- --frames 1 --resume /dev/zero

# A name that looks like an option, given as --json=NAME, is written as that file (what the
# options accept: RenderOptions.* in tests/unit/headless_test.cpp); the mode comes from the checkpoint.
run --frames 1 --quiet --json=--quiet >/dev/null && [ -f "$work/--quiet" ] || fail "--json=--quiet"
run --frames 1 --resume base.ckpt >"$work/mode.out" || fail "resuming a sequential render without --sequential"
grep -q '^Traced 1 frame (sequential' "$work/mode.out" || fail "the mode from the checkpoint: $(cat "$work/mode.out")"
run --frames 1 --quiet --checkpoint two.ckpt >/dev/null
expect 1 "checkpoint 'two.ckpt' is of a two-worker render: resume it without --sequential" \
    "a contradicting mode" -- --sequential --frames 1 --resume two.ckpt

# The progress line fits a narrow terminal, and is taken away before a message.
if command -v script >/dev/null && [ "${#render[@]}" -eq 1 ]; then
    (cd "$work" && script -qec "stty cols 20; $(printf '%q ' "${render[@]}") --sequential --frames 3 --quiet" /dev/null \
        >"$work/narrow.txt" 2>&1)
    # Each redraw starts with a carriage return and a clear; none may be wider than the terminal.
    widest=$(tr '\r' '\n' <"$work/narrow.txt" | sed 's/\x1b\[K//g' | grep -a '^frame' | awk '{ print length }' | sort -n | tail -n 1)
    [ -n "$widest" ] && [ "$widest" -lt 20 ] || fail "the progress line on 20 columns is ${widest:-missing} wide"
    # A periodic checkpoint that fails (a folder took its name) is told on a line of its own.
    mkdir "$work/gone"
    (cd "$work" && script -qec "(until [ -s gone/c.ckpt ]; do sleep 0.01; done; until mkdir gone/c.ckpt 2>/dev/null; do rm -f gone/c.ckpt; done) & timeout -s INT 3 $(printf '%q ' "${render[@]}") --sequential --frames 1000000 --quiet --checkpoint gone/c.ckpt --checkpoint-every 0.0001 >/dev/null" /dev/null \
        >"$work/message.txt" 2>&1)
    tr '\r' '\n' <"$work/message.txt" | sed 's/\x1b\[K//g' | grep -a -q "^pathtracer-render: cannot write 'gone/c.ckpt'" \
        || fail "a message shares a line with the progress line: $(cat -v "$work/message.txt")"
fi

no_temporaries "the whole run"
[ "$failures" -eq 0 ] && echo "file checks passed"
[ "$failures" -eq 0 ]
