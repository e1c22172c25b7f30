"""The filtered plan of top and pairs, and Index, against the cross product."""

import pickle
import random
import threading

import numpy as np
import pytest

import quillmatch_many as qmm
from helpers import SANITIZED, assert_raises_with_note
from test_many import MEASURES, fn, options, random_texts

CUTOFFS = {"levenshtein": [0, 1, 2, 3, 8, 80], "damerau": [0, 1, 2, 4, 80],
           "jaro_winkler": [0.0, 0.7, 0.85, 0.9, 0.95, 1.0]}


def same(a, b):
    return len(a) == len(b) and all(x.dtype == y.dtype and np.array_equal(x, y) for x, y in zip(a, b))


@MEASURES
def test_filtered_plan_gives_the_cross_product(measure):
    rnd = random.Random("join" + measure)
    texts = random_texts(rnd, 160)
    queries = random_texts(rnd, 40) + texts[:10]
    for cutoff in CUTOFFS[measure]:
        kw = options(measure, rnd)
        for call in ((fn(measure, "pairs"), texts, None, cutoff),
                     (fn(measure, "pairs"), queries, texts, cutoff),
                     (fn(measure, "top"), queries, texts, 3, cutoff)):
            want = qmm._with_plan("cross", *call, **kw)
            assert same(qmm._with_plan("filtered", *call, **kw), want), (call[0].__name__, cutoff, kw)
            assert same(call[0](*call[1:], **kw), want)


@pytest.mark.parametrize("measure", ["levenshtein", "damerau"])
def test_cutoffs_near_two_to_the_64_keep_every_pair(measure):
    # A partner's length bound n + d must not wrap: every pair is within such a cutoff.
    texts = ["ab", "abc", "x", "", "\u00e9t\u00e9", "a" * 70]
    everything = list(range(len(texts)))
    for cutoff in (2**64 - 1, 2**64 - 10, np.uint64(2**64 - 1), 2**32, 2**32 - 1):
        for plan in ("cross", "filtered"):
            i, j, s = qmm._with_plan(plan, fn(measure, "pairs"), ["ab"], texts, cutoff)
            assert list(j) == everything, (plan, cutoff)
            i, j, s = qmm._with_plan(plan, fn(measure, "pairs"), texts, None, cutoff)
            assert len(i) == len(texts) * (len(texts) - 1) // 2, (plan, cutoff)
            top = qmm._with_plan(plan, fn(measure, "top"), ["ab"], texts, 10, cutoff)
            assert sorted(top[0][0]) == everything, (plan, cutoff)
        index = qmm.Index(texts, measure, cutoff)
        assert list(index.pairs(["ab"])[1]) == everything, cutoff
        assert sorted(index.top(["ab"], 10)[0][0]) == everything, cutoff
        assert len(index.pairs()[0]) == len(texts) * (len(texts) - 1) // 2, cutoff


def test_many_equal_texts_take_the_cross_product_with_the_same_pairs():
    n = 1000 if SANITIZED else 3000
    texts = ["same"] * n + ["sane", "some"]
    want = qmm._with_plan("filtered", qmm.levenshtein_pairs, texts, None, 1)
    assert same(qmm.levenshtein_pairs(texts, score_cutoff=1), want)
    assert len(want[0]) == (n + 2) * (n + 1) // 2 - 1  # all but (sane, some)


@MEASURES
def test_index_answers_as_the_functions_do(measure):
    rnd = random.Random("index" + measure)
    texts = random_texts(rnd, 150)
    queries = random_texts(rnd, 30)
    kw = options(measure, rnd)
    loose, tight = CUTOFFS[measure][2], CUTOFFS[measure][3 if measure == "jaro_winkler" else 1]
    index = qmm.Index(texts, measure, loose, workers=2, **kw)
    assert len(index) == 150
    for cutoff in (None, tight):
        c = loose if cutoff is None else cutoff
        assert same(index.top(queries, 4, cutoff), fn(measure, "top")(queries, texts, 4, c, **kw))
        assert same(index.pairs(queries, score_cutoff=cutoff), fn(measure, "pairs")(queries, texts, c, **kw))
        assert same(index.pairs(None, cutoff, workers=1), fn(measure, "pairs")(texts, None, c, **kw))
    again = pickle.loads(pickle.dumps(index))
    assert repr(again) == repr(index) and same(again.pairs(), index.pairs())
    # Searches share the index (and the scratch its runs leave) from several threads
    # at once, one query a call, each thread in its own order and with its own cutoff.
    cutoffs = [None, tight]
    want = {(q, c): (index.top([q], 4, c), index.pairs([q], c)) for q in queries for c in cutoffs}
    failures = []

    def search(slot):
        order = random.Random(slot).sample(queries, len(queries)) * 3
        for q in order:
            c = cutoffs[slot % 2]
            top, pairs = want[q, c]
            if not (same(index.top([q], 4, c), top) and same(index.pairs([q], c), pairs)):
                failures.append((slot, q))

    threads = [threading.Thread(target=search, args=(s,)) for s in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures and same(index.top(queries, 4), fn(measure, "top")(queries, texts, 4, loose, **kw))


def test_index_repr_and_errors():
    index = qmm.Index(["ab", "abc"], "jaro_winkler", 0.9, p=0.2)
    assert repr(index) == "Index(<2 texts>, 'jaro_winkler', score_cutoff=0.9, case_insensitive=False, p=0.2)"
    assert repr(qmm.Index(("a",), "damerau", 1, True)) == \
        "Index(<1 texts>, 'damerau', score_cutoff=1, case_insensitive=True)"
    assert_raises_with_note(ValueError, "score_cutoff 0.8 is looser than the index's, 0.9", None,
                            index.top, ["a"], 1, 0.8)
    assert_raises_with_note(ValueError, "score_cutoff 3 is looser than the index's, 2", None,
                            qmm.Index(["a"], "levenshtein", 2).pairs, None, 3)
    assert_raises_with_note(ValueError, "measure must be 'levenshtein', 'damerau' or 'jaro_winkler'",
                            "measure", qmm.Index, ["a"], "hamming", 1)
    assert_raises_with_note(TypeError, "Index() missing required argument: 'score_cutoff'", None,
                            qmm.Index, ["a"], "damerau", None)
    assert_raises_with_note(ValueError, "p applies to 'jaro_winkler' only", None,
                            qmm.Index, ["a"], "damerau", 1, p=0.1)
    assert_raises_with_note(TypeError, "Can't extract `str` to `Vec`", "candidates", qmm.Index, "abc", "damerau", 1)
    assert_raises_with_note(ValueError, "InvalidPrefixScale { value: 0.3 }", None,
                            qmm.Index, ["a"], "jaro_winkler", 0.5, p=0.3)
    # The methods bind their arguments from the vectorcall form: the faults the functions
    # report, and keywords in any order, by any str equal to the name (not only an interned one).
    k = "".join(["k"])
    for call, message in [
        (lambda: index.top(), "top() missing 2 required positional arguments: 'queries' and 'k'"),
        (lambda: index.top(["a"]), "top() missing 1 required positional argument: 'k'"),
        (lambda: index.top(["a"], 1, None, None, 5), "top() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda: index.top(["a"], 1, **{k: 1}), "top() got multiple values for argument 'k'"),
        (lambda: index.top(["a"], 1, x=1), "top() got an unexpected keyword argument 'x'"),
        (lambda: index.pairs(None, None, None, 1), "pairs() takes from 0 to 3 positional arguments but 4 were given"),
    ]:
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == message
    assert same(index.top(workers=1, **{k: 2}, queries=["abd"]), index.top(["abd"], 2))
    assert same(index.pairs(score_cutoff=0.95, queries=["ab"]), index.pairs(["ab"], 0.95))


@pytest.mark.parametrize("measure", ["levenshtein", "damerau"])
def test_self_joins_of_repeated_texts_give_the_cross_product(measure):
    # More texts than the sample that decides whether equal texts are grouped, most of them
    # repeated (as surnames are), some only in their case: pairs and clusters, plain and
    # normalized, folded or not, against the cross product and the clusters of its pairs.
    rnd = random.Random("repeats" + measure)
    names = ["".join(rnd.choice("abcde\u00e9") for _ in range(rnd.randrange(1, 9))) for _ in range(400)]
    n = 1500 if SANITIZED else 5000
    texts = [rnd.choice(names) for _ in range(n)]
    texts[::7] = [t.upper() for t in texts[::7]]
    pairs, clusters = fn(measure, "pairs"), getattr(qmm, measure + "_clusters")
    for cutoff, kw in ((1, {}), (2, {"case_insensitive": True}), (0.75, {"normalized": True})):
        want = qmm._with_plan("cross", pairs, texts, None, cutoff, **kw)
        got = qmm._with_plan("filtered", pairs, texts, None, cutoff, **kw)
        assert same(got, want), (cutoff, kw)
        labels = qmm._with_plan("filtered", clusters, texts, cutoff, **kw)
        assert np.array_equal(labels, qmm.clusters(want[0], want[1], n)), (cutoff, kw)


def test_a_dense_self_join_comes_out_whole_and_in_order_on_any_workers():
    # Over a million pairs, nearly all between equal texts: put in order by shares of the
    # workers and copied out in several pieces; every pair once, in order, with its distance,
    # in the narrowest type that holds the distances of the texts' lengths.
    texts = ["Smith"] * 1500 + ["Smyth"] * 50 + ["Jones"] * 50
    group = np.repeat([0, 1, 2], [1500, 50, 50])
    distance = np.array([[0, 1, 5], [1, 0, 5], [5, 5, 0]])
    i, j = np.triu_indices(len(texts), 1)
    d = distance[group[i], group[j]]
    keep = d <= 1
    for prefix, dtype in (("", np.uint8), ("x" * 300, np.uint16)):
        for workers in (1, 2, 3):
            qi, ci, s = qmm._with_plan("filtered", qmm.damerau_pairs, [prefix + t for t in texts], None, 1,
                                       workers=workers)
            assert np.array_equal(qi, i[keep]) and np.array_equal(ci, j[keep]), workers
            assert s.dtype == dtype and np.array_equal(s, d[keep]), workers


def test_an_index_built_on_several_workers_is_the_one_built_on_one():
    # Enough distinct short texts that the deletion filter is built in parts on the workers,
    # its counts and cursors shared: every search gives what one worker's build gives.
    rnd = random.Random(5)
    texts = list(dict.fromkeys("".join(rnd.choices("abcdefgh", k=rnd.randint(5, 8))) for _ in range(17500)))
    assert len(texts) > 1 << 14  # the least the build splits
    queries = texts[:200] + ["".join(rnd.choices("abcdefghi", k=rnd.randint(4, 9))) for _ in range(200)]
    one = qmm.Index(texts, "damerau", 2, workers=1)
    many = qmm.Index(texts, "damerau", 2, workers=3)
    assert same(many.top(queries, 3), one.top(queries, 3))
    assert same(many.pairs(queries), one.pairs(queries))


@pytest.mark.parametrize("measure", ["levenshtein", "damerau"])
def test_short_texts_of_mixed_lengths_give_the_cross_product(measure):
    # Short words over few letters (many pairs within the cutoff), some beyond ASCII and
    # in both cases, lengths 0 to 14: those that the deletion filter holds at each cutoff
    # and longer ones, on segments, in one list.
    rnd = random.Random("short" + measure)
    letters = "abcAB\u00e9\u00c9\u4e00"
    texts = []
    for k in range(300):
        if k < 20 or rnd.random() < 0.3:
            texts.append("".join(rnd.choice(letters) for _ in range(rnd.randrange(15))))
        else:  # a copy with an edit or two
            w = list(rnd.choice(texts))
            for _ in range(rnd.randrange(1, 3)):
                at = rnd.randrange(len(w) + 1)
                if rnd.random() < 0.5 and at < len(w):
                    w[at] = rnd.choice(letters)
                elif at + 1 < len(w):
                    w[at], w[at + 1] = w[at + 1], w[at]
                else:
                    w.insert(at, rnd.choice(letters))
            texts.append("".join(w))
    queries = texts[:60]
    for cutoff in range(5):
        for case_insensitive in (False, True):
            kw = {"case_insensitive": case_insensitive}
            for call in ((fn(measure, "pairs"), texts, None, cutoff),
                         (fn(measure, "pairs"), queries, texts, cutoff),
                         (fn(measure, "top"), queries, texts, 4, cutoff)):
                want = qmm._with_plan("cross", *call, **kw)
                assert same(qmm._with_plan("filtered", *call, **kw), want), (call[0].__name__, cutoff, kw)
            index = qmm.Index(texts, measure, cutoff, **kw)
            assert same(index.top(queries, 4), qmm._with_plan("cross", fn(measure, "top"), queries, texts, 4,
                                                               cutoff, **kw)), (cutoff, kw)
            assert same(index.pairs(), qmm._with_plan("cross", fn(measure, "pairs"), texts, None, cutoff, **kw))
