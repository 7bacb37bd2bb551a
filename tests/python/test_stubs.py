"""The shipped type stubs agree with the runtime signatures, and type checkers find them.

mypy's stubtest cannot see the parameters of pybind11 functions (they carry no
__text_signature__), so the parameters are compared here with the signature line that pybind11
generates for every function."""
import ast
import os
import textwrap

import pytest

import tovrel
import tovrel_tensors


def stub_tree(module):
    path = os.path.join(os.path.dirname(module.__file__), f"{module.__name__}-stubs",
                        "__init__.pyi")
    with open(path) as stub:
        return ast.parse(stub.read())


def stub_functions(module):
    return {node.name: node for node in stub_tree(module).body
            if isinstance(node, ast.FunctionDef)}


def stub_variables(module):
    return {node.target.id for node in stub_tree(module).body if isinstance(node, ast.AnnAssign)}


def stub_classes(module):
    return {node.name: {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
            for node in stub_tree(module).body if isinstance(node, ast.ClassDef)}


def runtime_function(name, module):
    """The function's generated signature line, parsed as a Python definition."""
    line = getattr(module, name).__doc__.strip().splitlines()[0]
    return ast.parse(f"def {line}: ...").body[0]


def parameters(function):
    args = function.args
    defaults = [None] * (len(args.args) - len(args.defaults)) + args.defaults
    positional = [(arg.arg, ast.unparse(arg.annotation).replace("typing.", ""),
                   None if default is None else ast.literal_eval(default))
                  for arg, default in zip(args.args, defaults)]
    keyword_only = [("*", arg.arg, ast.unparse(arg.annotation).replace("typing.", ""),
                     ast.literal_eval(default))
                    for arg, default in zip(args.kwonlyargs, args.kw_defaults)]
    return positional + keyword_only


@pytest.mark.parametrize("module", [tovrel, tovrel_tensors], ids=lambda m: m.__name__)
def test_stubs_match_runtime_signatures(module):
    stubs = stub_functions(module)
    public = [name for name in vars(module) if not name.startswith("__")]
    classes = {name: {attribute for attribute in vars(getattr(module, name))
                      if not attribute.startswith("_")}
               for name in public if isinstance(getattr(module, name), type)}
    constants = [name for name in public if not callable(getattr(module, name))]
    runtime = [name for name in public if name not in classes and name not in constants]
    assert getattr(module, "__version__", None) is None or "__version__" in stub_variables(module)
    assert sorted(stub_variables(module) - {"__version__"}) == sorted(constants)
    assert stub_classes(module) == classes
    assert sorted(stubs) == sorted(runtime)
    for name in runtime:
        stub, actual = stubs[name], runtime_function(name, module)
        assert parameters(stub) == parameters(actual), name
        assert not stub.args.vararg and not stub.args.kwarg
        # The stubs may say more about the result than pybind11's plain "tuple".
        stub_result = stub.returns.value if isinstance(stub.returns, ast.Subscript) else stub.returns
        actual_result = (actual.returns.value if isinstance(actual.returns, ast.Subscript)
                         else actual.returns)
        assert ast.unparse(stub_result) == \
            ast.unparse(actual_result).replace(f"{module.__name__}.", ""), name


def test_type_checkers_find_the_stubs(tmp_path, python_in_subprocess):
    example = tmp_path / "example.py"
    example.write_text(textwrap.dedent("""
        import torch
        import tovrel
        import tovrel_tensors

        scores = torch.zeros(3, 20)
        sequence, quality, moves = tovrel.beam_search(scores, scores, scores, beam_size=5)
        reveal_type(moves)
        reveal_type(tovrel_tensors.posts(scores))
        tovrel.posts(scores, stay_score="high")

        from tovrel_decode import Decoder, open_writer
        with Decoder(beam_size=8) as decoder, open_writer("reads.bam") as writer:
            decoder.submit("read", scores, overlap=3, last=False)
            reveal_type(decoder.ready())
            writer.write(decoder.ready()[0])
        Decoder(beam_size="wide")
    """))
    result = python_in_subprocess(
        f"import sys; from mypy import api; print(api.run([{str(example)!r}])[0])")
    output = result.stdout
    assert 'Revealed type is "list[int]"' in output, output
    assert 'Revealed type is "torch._tensor.Tensor"' in output, output
    assert 'Argument "stay_score" to "posts" has incompatible type "str"' in output, output
    assert 'Revealed type is "list[tovrel_decode.results.DecodedRead]"' in output, output
    assert 'Argument "beam_size" to "Decoder" has incompatible type "str"' in output, output


def test_the_decoding_package_type_checks(python_in_subprocess):
    result = python_in_subprocess(
        "from mypy import api; "
        "print(api.run(['--ignore-missing-imports', '--no-incremental', '-p', 'tovrel_decode'])[0])")
    assert result.stdout.startswith("Success: no issues found"), result.stdout


def test_the_readme_example_and_basecaller_type_check_strictly(tmp_path, python_in_subprocess):
    repository = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    with open(os.path.join(repository, "README.md")) as readme:
        text = readme.read()
    section = text[text.index("## Decoding in a basecaller"):]
    start = section.index("```python\n") + len("```python\n")
    example = section[start:section.index("\n```", start)]
    assert "Decoder" in example
    (tmp_path / "readme_example.py").write_text(example)
    files = [str(tmp_path / "readme_example.py"),
             os.path.join(repository, "examples", "basecall.py")]
    result = python_in_subprocess(f"from mypy import api; print(api.run(['--strict', "
                                  f"'--no-incremental', *{files!r}])[0])")
    assert result.stdout.startswith("Success: no issues found in 2 source files"), result.stdout
