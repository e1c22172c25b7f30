"""Rank a list of names against a query with the three measures of quillmatch."""
import quillmatch as qm

names = [
    "Jonathan Smith", "Jon Smyth", "Joanna Smith", "John Smithe", "Nathan Smit",
    "JONATHAN SMITH", "Jonathon Smiht", "Smith, Jonathan", "Jane Doe",
]
query = "jonathan smith"

jw = qm.jaro_winkler_batch(query, names, case_insensitive=True)
lev = qm.levenshtein_batch(query, names, case_insensitive=True)
osa = qm.damerau_batch(query, names, case_insensitive=True)

print(f"query: {query!r}")
print(f"{'candidate':<18} {'jaro-winkler':>12} {'levenshtein':>11} {'osa':>4}")
for score, name, d, t in sorted(zip(jw, names, lev, osa), reverse=True):
    print(f"{name:<18} {score:>12.4f} {d:>11} {t:>4}")
print()
print("levenshtein_bp('flaw', 'lawn') =", qm.levenshtein_bp("flaw", "lawn"))
print("damerau_bp('ab', 'ba') =", qm.damerau_bp("ab", "ba"))
print("jaro_winkler_similarity('MARTHA', 'MARHTA') =", qm.jaro_winkler_similarity("MARTHA", "MARHTA"))
