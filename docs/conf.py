"""Sphinx configuration of pwpoly's documentation site (tools/dev docs builds it)."""

import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path.insert(0, str(DOCS / "_ext"))

project = "pwpoly"
author = "the pwpoly developers"
copyright = "the pwpoly developers"  # noqa: A001 (Sphinx's name)

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.intersphinx",
    "sphinx.ext.mathjax",
    "numpydoc",
    "stub_module",  # pwpoly documented from its type stub
    "slot_attributes",  # the result classes' attributes described from their docstrings
    "offline",  # MathJax served by the site, the local inventories of numpy, scipy, Python
    "gallery",  # the examples, run at build time
]

# reStructuredText first: autosummary writes its generated pages with the first suffix.
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "_templates"]
templates_path = ["_templates"]
root_doc = "index"

# MyST: dollar math and headings as link targets (guide pages link to each other's sections).
myst_enable_extensions = ["dollarmath", "amsmath", "colon_fence"]
myst_heading_anchors = 3

# The API reference: one page per class and function, from __all__, the signatures as written.
autosummary_generate = True
autosummary_ignore_module_all = False
autosummary_imported_members = True  # the names of __all__, wherever they are defined
autodoc_typehints = "signature"
autodoc_member_order = "bysource"
autodoc_preserve_defaults = True
# The public aliases of pwpoly_numpy.typing: the signatures show them by name (the annotations are
# not evaluated), and resolve_alias below links each name to its entry.
TYPING_ALIASES = ("FloatArray", "Matrix", "TimeMatrix", "Solve", "Factorize")
toc_object_entries_show_parents = "hide"  # "locate()" in the page's contents, not "LegendreSpace.locate()"
python_maximum_signature_line_length = 100

# numpydoc renders the sections and checks their structure on every documented object: known
# sections in their order, every public object with a docstring, the parameters documented as
# the signature names and orders them, a Returns section on what returns, See Also entries
# well-formed. It does not ask for a docstring of __init__ and the like, nor for an extended
# summary, examples or See Also on every method and attribute.
numpydoc_show_class_members = False
numpydoc_validation_checks = {"GL06", "GL07", "GL08", "GL10", "PR02", "PR03", "PR06", "PR10", "RT01", "RT02", "SA04"}
numpydoc_validation_exclude = {
    r"\.__\w+__$",
    # Slots have no docstring of their own: their text comes from the "Attributes" section of
    # the class (slot_attributes), which numpydoc validates with the class.
    r"^pwpoly_numpy\.(GalerkinSolution|ParallelSolution)\.(?!__)\w+$",
    # A type alias is the object it names (Callable[...] has no docstring of its own): its text is
    # the docstring written after it, which autodoc reads from the source.
    r"^pwpoly_numpy\.typing\.\w+$",
}
numpydoc_xref_param_type = True
# In the types of parameters only these words link (the rest is prose: "of shape (n,)").
numpydoc_xref_ignore = "all"
numpydoc_xref_aliases = {
    **{name: f"pwpoly_numpy.{name}" for name in ("LegendreSpace", "LagrangeSpace", "TimeSlab", "GalerkinSolution")},
    **{name: f"pwpoly.{name}" for name in ("LegendreBasis", "LegendreBasisEvaluator")},
    "float64": "numpy.float64",
    "int64": "numpy.int64",
    "csr_array": "scipy.sparse.csr_array",
    "Callable": "collections.abc.Callable",
    "Sequence": "collections.abc.Sequence",
    "Comm": "mpi4py.MPI.Comm",
    "Intracomm": "mpi4py.MPI.Intracomm",
}

# Every cross-reference must resolve, except the private type aliases that annotations name
# (annotations name numpy's typing aliases as classes: the local inventory lists them so).
nitpicky = True
nitpick_ignore = [("py:class", name) for name in ("_Floats", "_Space", "Stepper", "S", "ArrayLikeOrSparse")]
# The value of the alias Matrix as autodoc spells it, numpy's private home of ArrayLike.
nitpick_ignore += [("py:type", "numpy._typing._array_like.ArrayLike")]
# The same for the sparse types inside the alias TimeMatrix, spelt by their private homes.
nitpick_ignore += [("py:class", "scipy.sparse._base.sparray"), ("py:class", "scipy.sparse._matrix.spmatrix")]

html_theme = "pydata_sphinx_theme"
html_title = "pwpoly"
html_context = {"default_mode": "auto"}  # the theme's colours; without it a first visit logs an error
html_static_path = ["_static"]
html_favicon = "_static/favicon.svg"
html_css_files = ["site.css"]
html_js_files = ["math.js"]  # display math scaled to its column where MathJax cannot break it
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "footer_start": ["copyright"],
    "footer_end": [],
}
html_show_sourcelink = False
html_copy_source = False

# Math by the site's own MathJax (copied in by the offline extension).
mathjax_path = "mathjax/MathJax.js?config=TeX-AMS_CHTML"
# Long display math is broken into lines at the column's width.
mathjax2_config = {
    "tex2jax": {"processClass": "math", "ignoreClass": "document"},
    "messageStyle": "none",
    "CommonHTML": {"linebreaks": {"automatic": True}},
}


def resolve_alias(app, env, node, contnode):
    """A reference to an alias of pwpoly_numpy.typing by its short name, as the signatures write
    it, resolved to the alias's entry."""
    target = node.get("reftarget")
    if node.get("refdomain") != "py" or target not in TYPING_ALIASES:
        return None
    domain = env.get_domain("py")
    return domain.resolve_xref(
        env, node["refdoc"], app.builder, "data", f"pwpoly_numpy.typing.{target}", node, contnode
    )


def setup(app):
    app.connect("missing-reference", resolve_alias)
