"""A kestpy backend that does nothing: replay into it measures the cost of
kestpy's own layers (cache walk, arrays or argument lists, calls) and nothing
else. It takes the array channel, as the HiGHS backend does."""


class Model:
    def __init__(self, name, env):
        pass

    def add_variable(self, name, vtype, lb, ub):
        return 0

    def add_variables(self, count, names, vtypes, lb, ub):
        return list(range(count))

    def add_constraint(self, indices, coefficients, sense, rhs, name, constant):
        return 0

    def add_constraints(self, indices, coefficients, constants, senses, rhs, names):
        return list(range(len(indices)))

    def set_objective(self, indices, coefficients, constant, sense):
        return None

    def add_variable_arrays(self, lb, ub, types, names):
        return None

    def add_constraint_arrays(self, starts, indices, coefficients, constants, senses, rhs, names):
        return None

    def set_objective_arrays(self, indices, coefficients, constant, sense):
        return None

    def update(self):
        return None

    def set_optimizer_attr(self, name, value):
        return None

    def optimize(self):
        return 0

    def get_var_value(self, index):
        return None

    def get_objective_value(self):
        return None
