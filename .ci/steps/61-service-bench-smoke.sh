#!/usr/bin/env bash
# The service's benchmark builds and runs a tap or two of every case, with a
# real mosquitto and simulated readers. Figures are not judged here: a
# shared CI machine cannot give them.
set -euo pipefail
source .ci/lib.sh
ensure_packages cmake g++ mosquitto libmosquitto-dev libtomlplusplus-dev libcli11-dev \
  nlohmann-json3-dev pkgconf libssl-dev
scripts/service-report --smoke
