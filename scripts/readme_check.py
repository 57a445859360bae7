"""Runs every fenced block of README.md as written, in order, against the installed packages
(scripts/package.sh installs them and leaves the NuGet package in build/package).

    python3 scripts/readme_check.py

How each block runs, by its language:
  sh       with bash -e -o pipefail, in a throwaway folder that is HOME and is shared by the
           blocks, in order (files one block writes, the next uses)
  c        compiled as C99 (pedantic) and as C++ against the installed package, both run
  python   run with Debian's python3, and checked with mypy --strict
  csharp   compiled with mcs against the assembly of the NuGet package and run with Mono
  cmake    only as a file (see below), which a later sh block builds
  text     output or a listing: not run
A comment line just before a block can say more, `<!-- readme: ... -->` with any of:
  file NAME          also save the block as NAME in the shared folder
  repository         run the sh block from the repository's root (commands of this tree)
  ci                 every command of the sh block is a step of .ci/run, run there as written:
                     checked, not run twice
  stop after N s     a long run: the sh block passes when it has not failed within N seconds
                     and then stops when interrupted (SIGINT)
Every block that runs has a throwaway store of its own (XDG_DATA_HOME). Exits non-zero at the
first block that fails.
"""
import os, re, shutil, signal, subprocess, sys, tempfile, zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = "/usr/bin/python3"
FENCE = re.compile(r"^```(\w*)\s*$")
MARKER = re.compile(r"^<!-- readme: (.*) -->$")


def blocks(path):
    """(line, language, marker options, text) of every fenced block."""
    lines = open(path, encoding="utf-8").read().split("\n")
    i = 0
    while i < len(lines):
        start = FENCE.match(lines[i])
        if not start:
            i += 1
            continue
        j = i - 1
        while j >= 0 and not lines[j].strip():
            j -= 1
        marker = MARKER.match(lines[j]) if j >= 0 else None
        options = [o.strip() for o in marker.group(1).split(",")] if marker else []
        end = next(k for k in range(i + 1, len(lines)) if lines[k] == "```")
        yield i + 1, start.group(1), options, "\n".join(lines[i + 1:end]) + "\n"
        i = end + 1


def option(options, name):
    """The value of `name VALUE` (True for a bare `name`), or None."""
    for o in options:
        if o == name:
            return True
        if o.startswith(name + " "):
            return o[len(name) + 1:]
    return None


def run(command, cwd, env, stop_after=None):
    """The exit status; 0 for a command still running after `stop_after` seconds that then
    stops when interrupted (it ran its time without failing)."""
    process = subprocess.Popen(command, cwd=cwd, env=env, start_new_session=True)
    try:
        return process.wait(timeout=stop_after)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGINT)
    try:
        process.wait(timeout=60)
        return 0
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        return process.wait()


def ci_steps():
    with open(os.path.join(ROOT, ".ci", "run")) as f:
        return {line.strip() for line in f}


def pkg_config():
    return subprocess.check_output(["pkg-config", "--cflags", "--libs", "orvomodule"],
                                   text=True).split()


def nuget_assembly(work):
    """The binding's assembly and the x64 library from the NuGet package, beside the client."""
    packages = [p for p in os.listdir(os.path.join(ROOT, "build", "package"))
                if p.endswith(".nupkg")]
    if len(packages) != 1:
        sys.exit("readme: no NuGet package in build/package (bash scripts/package.sh makes it)")
    with zipfile.ZipFile(os.path.join(ROOT, "build", "package", packages[0])) as nupkg:
        for member in ["lib/netstandard2.0/OrvoModule.dll",
                       "runtimes/linux-x64/native/libOrvoModule.so"]:
            with nupkg.open(member) as src, open(os.path.join(work, os.path.basename(member)),
                                                 "wb") as dst:
                shutil.copyfileobj(src, dst)


def check_block(line, language, options, text, work):
    """A list of commands to run for the block (cwd, command, stop after), or a failure text."""
    name = option(options, "file")
    source = os.path.join(work, name if isinstance(name, str) else f"block{line}")
    if language == "text":
        return []
    if language not in ("sh", "c", "python", "csharp", "cmake"):
        return f"unknown language {language!r} (text, if it is not to be run)"
    if language == "cmake" and not isinstance(name, str):
        return "a cmake block runs only as a file: mark it <!-- readme: file CMakeLists.txt -->"
    if language in ("c", "python", "csharp") and not isinstance(name, str):
        source += {"c": ".c", "python": ".py", "csharp": ".cs"}[language]
    with open(source, "w", encoding="utf-8") as f:
        f.write(text)
    if language == "sh" and option(options, "ci"):
        commands = [re.sub(r"\s+#.*$", "", l).strip() for l in text.splitlines()]
        missing = [c for c in commands if c and c not in ci_steps()]
        return f"not steps of .ci/run: {missing}" if missing else []
    if language == "sh":
        cwd = ROOT if option(options, "repository") else work
        stop = option(options, "stop after")
        seconds = int(stop.split()[0]) if isinstance(stop, str) else None
        return [(cwd, ["bash", "-e", "-o", "pipefail", source], seconds)]
    if language == "c":
        flags = pkg_config()
        return [(work, ["cc", "-std=c99", "-pedantic-errors", "-Wall", "-Wextra", "-Werror",
                        source, "-o", source + ".c99"] + flags, None),
                (work, [source + ".c99"], None),
                (work, ["c++", "-x", "c++", "-Wall", "-Wextra", "-Werror", source, "-o",
                        source + ".cxx"] + flags, None),
                (work, [source + ".cxx"], None)]
    if language == "python":
        return [(work, [PYTHON, source], None),
                (work, [PYTHON, "-m", "mypy", "--strict", "--no-incremental", source], None)]
    if language == "csharp":
        nuget_assembly(work)
        return [(work, ["mcs", "-nologo", "-r:OrvoModule.dll", "-out:" + source + ".exe",
                        source], None),
                (work, ["mono", source + ".exe"], None)]
    return []  # cmake: a file for a later block


def main():
    work = tempfile.mkdtemp(prefix="orvo-readme-")
    env = {k: v for k, v in os.environ.items() if k not in ("XDG_DATA_HOME", "PYTHONPATH")}
    env.update(HOME=work, PATH="/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin")
    count = 0
    try:
        for line, language, options, text in blocks(os.path.join(ROOT, "README.md")):
            steps = check_block(line, language, options, text, work)
            if isinstance(steps, str):
                sys.exit(f"README.md:{line}: {steps}")
            print(f"README.md:{line}: {language} {', '.join(options)}".rstrip(), flush=True)
            env["XDG_DATA_HOME"] = tempfile.mkdtemp(prefix="data-", dir=work)
            for cwd, command, seconds in steps:
                status = run(command, cwd, env, seconds)
                if status != 0:
                    sys.exit(f"README.md:{line}: {' '.join(command)} exited {status}")
            count += 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"readme: {count} blocks checked")


main()
