#pragma once
// What help() shows for the module's callables: each text starts with the
// signature line the interpreter turns into __text_signature__ (everything up
// to "--"), followed by the documentation itself. The classes keep bare
// signature lines; their documentation lives in the type stubs (kestpy/__init__.pyi).

namespace kestpy::docs {

inline constexpr char kAddVar[] =
    "addVar($self, lb=0., ub=..., obj=0.0, vtype=None, name=\"\")\n--\n\n"
    "Add one variable and return it as a Var.\n\n"
    "lb, ub: bounds (floats; -math.inf / math.inf for none; default 0 and +inf).\n"
    "obj: its coefficient in the objective, added in place (default 0).\n"
    "vtype: KEST.CONTINUOUS, KEST.BINARY or KEST.INTEGER (default: continuous).\n"
    "name: its name (default: unnamed).\n\n"
    "Raises TypeError naming the argument that does not convert.\n\n"
    "    x = m.addVar(ub=40, vtype=KEST.INTEGER, name=\"tables\")";

inline constexpr char kAddVars[] =
    "addVars($self, *indices, lb=None, ub=None, obj=None, vtype=None, name=None)\n--\n\n"
    "Add a block of variables and return it as a Vars.\n\n"
    "indices: one per dimension: an int gives that many members numbered from\n"
    "0, any other iterable (list, range, dict keys, array) gives its items as\n"
    "the dimension's keys (distinct and hashable; a list or tuple of ints only\n"
    "is refused as a shape written by mistake). One sequence of tuples makes a\n"
    "sparse set, addressed by the tuples' items. No indices: one variable.\n"
    "lb, ub, obj, vtype: one value for every member, or one per member: a\n"
    "sequence in row-major order (the last index varies fastest), a nested\n"
    "sequence or numeric array of the block's shape, or (keyed blocks) a dict\n"
    "keyed like Vars.keys() (every member's key, no other). vtype arrays hold\n"
    "integer codes (int(KEST.BINARY), ...). obj adds to the objective.\n"
    "name: a prefix (members are named prefix[i,j], or prefix[Seattle,NY] from\n"
    "the keys), or a list or dict of names.\n\n"
    "Raises TypeError \"Expected a scalar or a list\" for an argument of\n"
    "another form, ValueError naming the argument for a missing or extra key or\n"
    "a shape that is not the block's, and adds nothing when any argument fails.\n\n"
    "    x = m.addVars(3, 4, ub=1.0, name=\"x\")   # x[0, 0] ... x[2, 3]\n"
    "    ship = m.addVars(plants, markets, ub=capacity, name=\"ship\")   # ship[\"Seattle\", \"NY\"]";

inline constexpr char kAddConstr[] =
    "addConstr($self, constr, name=None)\n--\n\n"
    "Add one constraint made by a comparison (<=, >= or ==) of expressions.\n\n"
    "name: the constraint's name. Returns None. Raises ValueError when the\n"
    "constraint holds a variable the model does not have or another model's.\n"
    "A block of constraints (A @ x <= b) is added as addMConstrs adds it.\n\n"
    "    m.addConstr(2 * x + 3 * y <= 120, name=\"wood\")";

inline constexpr char kAddConstrs[] =
    "addConstrs($self, generator, name=None)\n--\n\n"
    "Add every constraint an iterable yields, in one batch.\n\n"
    "name: a prefix; the batch's members are named prefix[0], prefix[1], ...\n"
    "Returns None. When any member fails, none of the batch is added.\n\n"
    "    m.addConstrs((x[i] + y[i] <= 1 for i in range(n)), name=\"pair\")";

inline constexpr char kAddMConstrs[] =
    "addMConstrs($self, constrs, name=None)\n--\n\n"
    "Add a block of constraints, an MConstr such as A @ x <= b, in one call\n"
    "and return its Constrs handle (len, indices, and Pi and Slack after a solve).\n\n"
    "name: a prefix (rows named prefix[0], prefix[1], ...; \"Cons\" when None) or\n"
    "a list of names. Raises ValueError when the block holds a variable the\n"
    "model does not have or another model's, and adds none of it then.\n\n"
    "    cap = m.addMConstrs(A @ x <= b, name=\"cap\")";

inline constexpr char kSetObjective[] =
    "setObjective($self, expr, sense)\n--\n\n"
    "Replace the objective with expr, a LinExpr (write 1 * x for one\n"
    "variable), to be minimised (KEST.MINIMIZE) or maximised (KEST.MAXIMIZE).\n\n"
    "    m.setObjective(30 * x + 50 * y, KEST.MAXIMIZE)";

inline constexpr char kSetParam[] =
    "setParam($self, paramname, newvalue)\n--\n\n"
    "Set a solver setting by name to an int, float, bool or str (other\n"
    "values raise TypeError).\n\n"
    "The model keeps its settings in the order they were last set and hands\n"
    "them to every backend it attaches. Names are the backend's own or the\n"
    "aliases \"TimeLimit\", \"MIPGap\", \"Threads\", \"OutputFlag\" and \"Silent\";\n"
    "a backend warns about a name or value it does not take, and keeps none.\n\n"
    "    m.setParam(\"TimeLimit\", 10.0)";

inline constexpr char kSetBackend[] =
    "setBackend($self, backend)\n--\n\n"
    "Attach the solver backend kestpy_<backend> (a Python module) and replay\n"
    "the model into it; later changes are forwarded to it.\n\n"
    "Calling it again replaces the backend by a fresh replay. A module that\n"
    "cannot be imported raises PanicException (a BaseException) whose cause\n"
    "is the import's error.\n\n"
    "    m.setBackend(\"highs\")";

inline constexpr char kOptimize[] =
    "optimize($self)\n--\n\n"
    "Solve the model with the attached backend. Returns None.\n\n"
    "The outcome is read from Status (a KEST constant), SolCount, ObjVal,\n"
    "X, Pi, RC and Slack. Ctrl-C stops the solve, not the model: Status is\n"
    "then KEST.INTERRUPTED and KeyboardInterrupt reaches the caller.";

inline constexpr char kGetVarByName[] =
    "getVarByName($self, name)\n--\n\n"
    "The first variable with this name as a Var, or None (also for \"\").\n\n"
    "The first call reads every name once; later calls read only the names\n"
    "added since, until a name changes.\n\n"
    "    x = m.getVarByName(\"tables\")";

inline constexpr char kGetConstrs[] =
    "getConstrs($self)\n--\n\n"
    "A list with a ConstrRef for every constraint, in creation order.\n\n"
    "    for c in m.getConstrs(): c.RHS *= 1.1";

inline constexpr char kGetConstrByName[] =
    "getConstrByName($self, name)\n--\n\n"
    "The first constraint with this name as a ConstrRef, or None (also for \"\").\n\n"
    "    m.getConstrByName(\"wood\").RHS = 130";

inline constexpr char kChgCoeff[] =
    "chgCoeff($self, constr, var, newvalue)\n--\n\n"
    "Make newvalue the coefficient of var (a Var of this model) in constr (a\n"
    "ConstrRef of this model); 0 takes the term out. Returns None.\n\n"
    "Raises ValueError for a NaN value or another model's constraint or\n"
    "variable, changing nothing.\n\n"
    "    m.chgCoeff(m.getConstrByName(\"wood\"), x, 2.5)";

inline constexpr char kGetCoeff[] =
    "getCoeff($self, constr, var)\n--\n\n"
    "The coefficient of var in constr (a ConstrRef), as a float; 0.0 when\n"
    "the constraint does not hold the variable.";

inline constexpr char kVarsSetAttr[] =
    "setAttr($self, attrname, values)\n--\n\n"
    "Set \"LB\", \"UB\", \"Obj\", \"Start\", \"VType\" or \"VarName\" of every member:\n"
    "one value for all, or one per member in row-major order (a numpy array,\n"
    "flat or shaped like the block, is read through the buffer protocol).\n"
    "Raises ValueError for a NaN (a start takes NaN or None as none) or an\n"
    "array of another length, changing nothing.\n\n"
    "    x.setAttr(\"UB\", capacities)";

inline constexpr char kQuicksum[] =
    "quicksum(generator)\n--\n\n"
    "Sum an iterable of variables, expressions and numbers in one pass.\n\n"
    "Returns a LinExpr (no terms for an empty iterable). Faster than sum() for\n"
    "long sums, which builds a new expression at every step.\n\n"
    "    total = quicksum(cost[i] * x[i] for i in range(n))";

inline constexpr char kVarsKeys[] =
    "keys($self, /)\n--\n\n"
    "The members' keys in row-major order, as a list: the key itself for a\n"
    "block of one dimension, else a tuple with one item per dimension (the\n"
    "position where a dimension is numbered); a sparse set's tuples as given.\n\n"
    "    m.addVars([\"a\", \"b\"], 2).keys()   # [('a', 0), ('a', 1), ('b', 0), ('b', 1)]";

inline constexpr char kVarsSum[] =
    "sum($self, /, *pattern)\n--\n\n"
    "The sum of the members matching pattern, as a LinExpr.\n\n"
    "pattern: one item per dimension (per tuple item of a sparse set), each a\n"
    "key, a position, or \"*\" for any; none sums every member. A key that a\n"
    "dimension lacks raises KeyError; items of a sparse set that no tuple has\n"
    "match nothing. Visits only the matching members of a dense block.\n\n"
    "    ship.sum(\"Seattle\", \"*\")   # everything shipped from Seattle";

inline constexpr char kVarsTake[] =
    "take($self, indices, /)\n--\n\n"
    "A one-dimensional block of the members at the given flat positions\n"
    "(row-major), in that order, repeats allowed: x - s.take(i) pairs x[k]\n"
    "with s[i[k]].\n\n"
    "indices: integers (a numpy array, a list) below len(self).";

inline constexpr char kVarsProd[] =
    "prod($self, coeffs, /, *pattern)\n--\n\n"
    "The sum of coeffs[key] * member over the members matching pattern (as\n"
    "for sum), as a LinExpr.\n\n"
    "coeffs: a dict or other mapping keyed like keys(), whose missing keys\n"
    "give no term; or one value per member (a sequence in row-major order, a\n"
    "nested sequence or an array of the block's shape); or one number.\n\n"
    "    ship.prod(cost)               # the total shipping cost\n"
    "    ship.prod(cost, \"*\", \"NY\")   # the cost of what reaches New York";

}  // namespace kestpy::docs
