"""The committed case_tables.cpp must be exactly what the generator writes now."""

import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
UCD = REPO / "tools" / "ucd"
GENERATOR = REPO / "tools" / "gen_case_tables.py"
COMMITTED = REPO / "quillmatch-core" / "src" / "text" / "case_tables.cpp"


def run_generator(cwd, *args):
    return subprocess.run([sys.executable, str(GENERATOR), *args], cwd=cwd,
                          capture_output=True, text=True)


def test_committed_tables_match_regenerated_output(tmp_path):
    # Default --ucd, run from elsewhere: the data is found relative to the repository.
    out = tmp_path / "case_tables.cpp"
    result = run_generator(tmp_path, "--out", str(out))
    assert result.returncode == 0, result.stderr
    assert out.read_bytes() == COMMITTED.read_bytes()


def test_generator_rejects_data_missing_a_mapping(tmp_path):
    ucd = tmp_path / "ucd"
    ucd.mkdir()
    lines = (UCD / "UnicodeData.txt").read_text(encoding="utf-8").splitlines(keepends=True)
    kept = [line for line in lines if not line.startswith("A7D4;")]
    assert len(kept) == len(lines) - 1
    (ucd / "UnicodeData.txt").write_text("".join(kept), encoding="utf-8")
    (ucd / "DerivedCoreProperties.txt").write_bytes((UCD / "DerivedCoreProperties.txt").read_bytes())
    out = tmp_path / "case_tables.cpp"
    result = run_generator(tmp_path, "--ucd", str(ucd), "--out", str(out))
    assert result.returncode != 0
    assert "U+A7D4" in result.stderr
    assert not out.exists()
