#!/usr/bin/env bash
# Makes a CPython X.Y that a chroot has (packaging/chroot.sh) runnable on this machine, so wheels
# for a Python newer than this distribution's are still compiled here, by this machine's compiler
# against its C library, and carry the same manylinux tag as the others. Prints the interpreter.
#   packaging/python_from_chroot.sh X.Y CHROOT
# The interpreter runs through the chroot's own dynamic loader and libraries (nothing of the chroot
# leaks into what it starts: compilers and cmake stay this machine's); its headers are the chroot's,
# whose multiarch pyconfig.h is reached through an include folder holding only that file's folder.
# Kept in $KORVANE_PYTHONS/X.Y (default /var/cache/korvane/python).
set -euo pipefail
minor=$1 root=$(readlink -f "$2")
home=${KORVANE_PYTHONS:-/var/cache/korvane/python}/$minor
triplet=$(gcc -dumpmachine | sed 's/-pc-/-/; s/-unknown-/-/')
loader=$(ls "$root"/lib64/ld-linux-*.so.* "$root"/lib/ld-linux-*.so.* 2>/dev/null | head -1 || true)
[ -x "$root/usr/bin/python$minor" ] && [ -n "$loader" ] || { echo "python$minor is not in $root" >&2; exit 1; }
mkdir -p "$home/bin" "$home/include/$triplet"
ln -sfn "$root/usr/include/$triplet/python$minor" "$home/include/$triplet/python$minor"
cat > "$home/bin/python$minor" <<WRAPPER
#!/bin/sh
# python$minor of $root, run on this machine (made by packaging/python_from_chroot.sh).
export PYTHONHOME="$root/usr" CPATH="$home/include\${CPATH:+:\$CPATH}"
exec "$loader" --argv0 "\$0" --library-path "$root/lib/$triplet:$root/usr/lib/$triplet" "$root/usr/bin/python$minor" "\$@"
WRAPPER
chmod +x "$home/bin/python$minor"
"$home/bin/python$minor" -c 'import ssl, venv' >&2
echo "$home/bin/python$minor"
