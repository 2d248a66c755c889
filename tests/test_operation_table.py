import ast
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parents[1]
TABLE = ROOT / "src" / "native" / "main" / "operations.hpp"
STUB = ROOT / "src" / "pixelmend" / "main.pyi"

ROW = re.compile(r'\.name = "(\w+)",.*?\.parameters = \{(.*?)\},\s*\.fields', re.S)
PARAMETER = re.compile(r'\{"(\w+)"(?:, (nullptr|"[^"]*"))?(?:, (?:true|false))?\}')
NOT_OPERATIONS = {"__init__", "list_methods"}


def table_signatures():
    return [
        (name, [(parameter, ast.literal_eval(default) if default.startswith('"') else None)
                for parameter, default in PARAMETER.findall(parameters)])
        for name, parameters in ROW.findall(TABLE.read_text(encoding="utf-8"))
    ]


def stub_signatures():
    module = ast.parse(STUB.read_text(encoding="utf-8"))
    client = next(node for node in module.body if isinstance(node, ast.ClassDef) and node.name == "Pixelmend")
    signatures = []
    for method in client.body:
        if isinstance(method, ast.FunctionDef) and method.name not in NOT_OPERATIONS:
            parameters = method.args.args
            defaults = [None] * (len(parameters) - len(method.args.defaults))
            defaults += [ast.literal_eval(default) for default in method.args.defaults]
            signatures.append((method.name, [(p.arg, d) for p, d in zip(parameters, defaults)]))
    return signatures


def test_the_table_reads_one_signature_per_row():
    rows = TABLE.read_text(encoding="utf-8").count('.name = "')
    signatures = table_signatures()
    assert len(signatures) == rows > 0
    assert all(parameters[:2] == [("self", None), ("image_path", None)] for _, parameters in signatures)


def test_the_stub_declares_each_operation_of_the_table_in_its_order():
    assert stub_signatures() == table_signatures()
