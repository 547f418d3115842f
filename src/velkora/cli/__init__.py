"""velkora's command line: host probe, static workload analysis, and programs run measured.

    velkora                        probe summary, then the bundled sample program run plain and accelerated
    velkora run [options] SCRIPT|-m MODULE [ARGS...]   see `velkora run --help`
    velkora probe [--json]         the host capability report
    velkora analyze PATH... [options]     see `velkora analyze --help` and the README

`python -m velkora` is the same command. One module per command (`probe`, `analyze`, `run` with its report in `run_report`), `commands` for the
entry point and the subcommand table; `config` merges the settings (command line over [tool.velkora] over
the defaults), `runner` analyses the chosen files (the worker pool, its signals and the progress line),
`report` builds the result document and holds the renderers by format name, `html_report` the HTML page.
The analysis itself lives in velkora.analysis.
"""

from velkora.cli.commands import main

__all__ = ["main"]
