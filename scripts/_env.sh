# shellcheck shell=bash
# The development environment that the scripts share. Sourced, not run:
#
#   . scripts/_env.sh
#   dev_env                 # .venv with the dev extra; sets $dev_python to its interpreter
#   env_install "$dev_python"   # build this tree (warnings as errors) and install it there
#
# One virtual environment, .venv (or $QUILLET_VENV), with CPython 3.13 (scripts/find-python.sh),
# the build backend and the `dev` extra of pyproject.toml: the tests' dependencies, the
# benchmarks' peer, the lint tools. The dependencies are installed when the environment is made
# and again only when pyproject.toml changes; installing the package itself is then a build
# without isolation and without dependencies (no index, no download), which recompiles only
# what changed. The sanitizer and free-threaded suites need builds of their own and keep their
# own environments, made with the same functions.

_env_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# venv_for DIR [PYTHON]: make DIR a virtual environment of PYTHON (default: the CPython 3.13 that
# scripts/find-python.sh finds) with a current pip, unless it is one already.
venv_for() {
  local dir=$1 py=${2:-}
  if [ ! -e "$dir/bin/python" ]; then
    [ -n "$py" ] || py=$("$_env_root/scripts/find-python.sh") || return 1
    "$py" -m venv "$dir" || return 1
    "$dir/bin/python" -m pip install --quiet --upgrade pip || return 1
  fi
  # An environment that does not run (its interpreter removed) or runs another version is left
  # alone: it may be someone's own, and removing it is their call.
  if ! "$dir/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
    echo "$dir is not a working CPython 3.13 virtual environment; remove it to have it made again" >&2
    return 1
  fi
}

# env_deps PYTHON EXTRA [PIP OPTIONS...]: install the build backend, the package's dependencies
# and those of EXTRA (the package itself is not built), unless pyproject.toml is unchanged since
# they were last installed into that environment.
env_deps() {
  local py=$1 extra=$2 stamp want
  shift 2
  stamp="$("$py" -c 'import sys; print(sys.prefix)')/.quillet-deps-$extra"
  want=$(sha256sum "$_env_root/pyproject.toml")
  want=${want%% *}
  [ "$(cat "$stamp" 2>/dev/null)" = "$want" ] && return 0
  "$py" - "$_env_root/pyproject.toml" "$extra" >"$stamp.txt" <<'EOF' || return 1
import sys
import tomllib

with open(sys.argv[1], "rb") as f:
    meta = tomllib.load(f)
project = meta["project"]
extras = project.get("optional-dependencies", {})
wanted = [*meta["build-system"]["requires"], *project.get("dependencies", [])]
seen: set[str] = set()


def add(extra: str) -> None:
    if extra in seen:
        return
    seen.add(extra)
    for req in extras[extra]:
        # An extra that names the package's own extras ("quillet[test]") takes theirs.
        if req.startswith(project["name"] + "["):
            for inner in req[req.index("[") + 1 : req.index("]")].split(","):
                add(inner.strip())
        else:
            wanted.append(req)


add(sys.argv[2])
print("\n".join(wanted))
EOF
  "$py" -m pip install --quiet "$@" -r "$stamp.txt" || return 1
  echo "$want" >"$stamp"
}

# env_install PYTHON [PIP OPTIONS...]: build the package from this tree with warnings as errors
# and install it into PYTHON's environment, whose build backend and dependencies env_deps put.
env_install() {
  local py=$1
  shift
  (cd "$_env_root" && QUILLET_WERROR=ON "$py" -m pip install --quiet --no-deps --no-build-isolation "$@" .)
}

dev_env() {
  local venv=${QUILLET_VENV:-$_env_root/.venv}
  venv_for "$venv" || return 1
  dev_python="$(cd "$venv" && pwd)/bin/python"
  env_deps "$dev_python" dev
}
