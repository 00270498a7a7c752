#!/usr/bin/env bash
# Builds the source distribution into DEST (default build/sdist/): the tracked files plus, in
# third_party/, the pinned simdjson archive and nlohmann/json's headers (the stand-in's JSON library,
# taken from this machine's nlohmann-json3-dev), so that building it needs no network for them and no
# development package beyond libcurl's.
#   packaging/sdist.sh PYTHON [DEST]    PYTHON: an interpreter with scikit-build-core installed
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
python=$1
dest=$(readlink -f "${2:-build/sdist}")
name=$(sed -n 's/^set(KORVANE_SIMDJSON_DISTRIBUTION "\(.*\)" .*/\1/p' cmake/simdjson.cmake)
version=$(sed -n 's/^set(KORVANE_SIMDJSON_DISTRIBUTION_VERSION "\(.*\)" .*/\1/p' cmake/simdjson.cmake)
sha=$(sed -n 's/^ *"\([0-9a-f]\{64\}\)" CACHE INTERNAL.*/\1/p' cmake/simdjson.cmake)
third_party=${KORVANE_THIRD_PARTY_DIR:-$PWD/build/third_party}
"$python" cmake/fetch_simdjson.py "$third_party" "$name" "$version" "$sha"
mkdir -p third_party
cp "$third_party/$name-$version.tar.gz" third_party/
json_headers=${KORVANE_NLOHMANN_JSON_INCLUDE:-/usr/include}
[ -f "$json_headers/nlohmann/json.hpp" ] ||
  { echo "sdist: nlohmann/json's headers are not in $json_headers (apt-get install nlohmann-json3-dev)" >&2; exit 1; }
rm -rf third_party/nlohmann_json && mkdir -p third_party/nlohmann_json/include
cp -r "$json_headers/nlohmann" third_party/nlohmann_json/include/
copyright=/usr/share/doc/nlohmann-json3-dev/copyright
[ ! -f "$copyright" ] || cp "$copyright" third_party/nlohmann_json/LICENSE
rm -rf "$dest" && mkdir -p "$dest"
"$python" -c 'import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))' "$dest" >/dev/null
ls "$dest"/*.tar.gz
