"""velkora's command line: host probe and static workload analysis.

    velkora                        probe summary, then the analysis of a bundled sample workload
    velkora probe [--json]         the host capability report
    velkora analyze PATH... [options]     see `velkora analyze --help` and the README

`python -m velkora` is the same command. One module per command (`probe`, `analyze`), `commands` for the
entry point and the subcommand table; `config` merges the settings (command line over [tool.velkora] over
the defaults), `runner` analyses the chosen files (the worker pool, its signals and the progress line),
`report` builds the result document and holds the renderers by format name, `html_report` the HTML page.
The analysis itself lives in velkora.analysis.
"""

from velkora.cli.commands import main

__all__ = ["main"]
