"""The names bench/bench_join.py joins: Faker names with one-typo copies among them.

    python bench/join_data.py N SEED OUT [surnames]   (in an environment with Faker;
                                             bench_join.py makes build/join-venv for it and runs this)

Writes N names to OUT, one a line, UTF-8. Names come from Faker in four locales (a locale
picked at random per name), seeded; each name after the first is, with probability 1/5, a
copy of an earlier name with one typo instead: a substitution, an insertion or deletion, or a
swap of two adjacent characters, in equal shares, at a random position. The generation runs
front to back and nothing in it depends on N, so the first n names of a longer list are the
list of n names: bench_join.py cuts its smaller sizes from the largest file it has.

Faker makes about 10 000 names a second, so a million take a few minutes; hence the cache.

With "surnames": short texts instead, Faker last names from ten locales (a locale picked at
random per name, each seeded), each with 0, 1 or 2 typos (equally often): mean length
about 7.3 code points, about a quarter of them beyond ASCII (Greek, Slovak, Polish, German,
Scandinavian letters), with a vocabulary of some 9 000 names, so many texts repeat.
"""

import os
import random
import sys

LOCALES = ["en_US", "de_DE", "fr_FR", "es_ES"]
TYPO_SHARE = 0.2
TYPO_LETTERS = "abcdefghijklmnopqrstuvwxyz"


def typo(rnd, text):
    """text with one edit, of each kind equally often: substitution, insertion or deletion,
    adjacent swap. Never text itself (a swap of two equal characters is drawn again)."""
    while True:
        w = list(text)
        kind = rnd.randrange(3)
        if kind == 0 and w:
            w[rnd.randrange(len(w))] = rnd.choice(TYPO_LETTERS)
        elif kind == 1:
            if w and rnd.random() < 0.5:
                del w[rnd.randrange(len(w))]
            else:
                w.insert(rnd.randrange(len(w) + 1), rnd.choice(TYPO_LETTERS))
        elif kind == 2 and len(w) > 1:
            at = rnd.randrange(len(w) - 1)
            w[at], w[at + 1] = w[at + 1], w[at]
        out = "".join(w)
        if out != text:
            return out


def generate(n, seed):
    from faker import Faker

    Faker.seed(seed)
    fake = Faker(LOCALES)
    rnd = random.Random(seed)
    names = []
    for _ in range(n):
        if names and rnd.random() < TYPO_SHARE:
            names.append(typo(rnd, names[rnd.randrange(len(names))]))
        else:
            names.append(fake.name())
    return names


SURNAME_LOCALES = ["en_US", "de_DE", "it_IT", "nl_NL", "sv_SE", "pl_PL", "sk_SK", "fi_FI", "es_ES", "el_GR"]


def generate_surnames(n, seed):
    from faker import Faker

    fakers = []
    for k, locale in enumerate(SURNAME_LOCALES):
        fake = Faker(locale)
        fake.seed_instance(seed + k)
        fakers.append(fake)
    rnd = random.Random(seed)
    out = []
    for _ in range(n):
        name = rnd.choice(fakers).last_name()
        for _ in range(rnd.randrange(3)):
            name = typo(rnd, name)
        out.append(name)
    return out


def main():
    n, seed, out = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    kind = sys.argv[4] if len(sys.argv) > 4 else "names"
    names = generate_surnames(n, seed) if kind == "surnames" else generate(n, seed)
    assert not any("\n" in s or "\r" in s for s in names)
    tmp = out + ".tmp"
    with open(tmp, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(names) + "\n")
    os.replace(tmp, out)  # a killed run leaves no truncated list behind


if __name__ == "__main__":
    main()
