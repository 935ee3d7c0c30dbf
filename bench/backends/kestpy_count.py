"""A kestpy backend that counts what it receives, so that --check can compare
the model kestpy hands over with what the other libraries give HiGHS.
Everything it does not count is answered as the null backend answers it."""

from kestpy_null import Model as NullModel

LAST = None


class Model(NullModel):
    def __init__(self, name, env):
        global LAST
        LAST = self
        self.num_col = 0
        self.num_row = 0
        self.num_nz = 0

    def add_variable(self, name, vtype, lb, ub):
        self.num_col += 1
        return self.num_col - 1

    def add_variables(self, count, names, vtypes, lb, ub):
        first = self.num_col
        self.num_col += count
        return list(range(first, self.num_col))

    def add_constraint(self, indices, coefficients, sense, rhs, name, constant):
        self.num_row += 1
        self.num_nz += sum(1 for c in coefficients if c != 0.0)
        return self.num_row - 1

    def add_constraints(self, indices, coefficients, constants, senses, rhs, names):
        first = self.num_row
        for coeffs in coefficients:
            self.num_nz += sum(1 for c in coeffs if c != 0.0)
        self.num_row += len(indices)
        return list(range(first, self.num_row))

    def add_variable_arrays(self, lb, ub, types, names):
        self.num_col += len(lb)

    def add_constraint_arrays(self, starts, indices, coefficients, constants, senses, rhs, names):
        self.num_row += len(senses)
        self.num_nz += sum(1 for c in coefficients if c != 0.0)
